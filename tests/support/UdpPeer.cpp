// The loopback UDP peer of the tests.
#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace k47test {

UdpPeer::UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket");
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        throw std::runtime_error("bind");
    socklen_t length = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool UdpPeer::SendTo(uint16_t port, const std::vector<uint8_t>& bytes) const {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                            reinterpret_cast<sockaddr*>(&address), sizeof(address));
    return sent == static_cast<ssize_t>(bytes.size());
}

bool UdpPeer::SendDatagram(uint16_t port, const K47MotionDatagram& datagram) const {
    std::vector<uint8_t> bytes(K47MotionDatagram::kSize);
    datagram.Encode(bytes.data());
    return SendTo(port, bytes);
}

std::optional<std::vector<uint8_t>> UdpPeer::Receive(std::chrono::milliseconds timeout) const {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), 0);
    if (n < 0)
        return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

uint16_t FreeUdpPort() {
    UdpPeer peer;
    return peer.Port();
}

K47MotionDatagram Motion(uint16_t sequence, int16_t pan, int16_t tilt, int16_t zoom, int16_t focus,
                         int16_t iris, uint8_t flags) {
    K47MotionDatagram d;
    d.sequence = sequence;
    d.pan = pan;
    d.tilt = tilt;
    d.zoom = zoom;
    d.focus = focus;
    d.iris = iris;
    d.flags = flags;
    return d;
}

}  // namespace k47test
