// A UDP endpoint on the loopback interface for tests (plain Linux sockets): sends datagrams to a
// port and receives with a deadline. Each peer has its own port, so two peers are two senders.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/MotionDatagram.h"

namespace k47test {

class UdpPeer {
  public:
    UdpPeer();  // bound to 127.0.0.1 and a port of the system's choice
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t Port() const { return port_; }
    bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes) const;
    bool SendDatagram(uint16_t port, const K47MotionDatagram& datagram) const;
    // The next datagram, or nothing when none arrives in time.
    std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) const;

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A UDP port number that was free a moment ago (bound and released at once).
uint16_t FreeUdpPort();

K47MotionDatagram Motion(uint16_t sequence, int16_t pan, int16_t tilt = 0, int16_t zoom = 0,
                         int16_t focus = 0, int16_t iris = 0, uint8_t flags = 0);

}  // namespace k47test
