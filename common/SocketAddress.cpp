// The socket address holder.
#include "common/SocketAddress.h"

#include <cstring>

CK47SocketAddress::CK47SocketAddress(const CK47SocketAddress& other) {
    *this = other;
}

CK47SocketAddress& CK47SocketAddress::operator=(const CK47SocketAddress& other) {
    if (this != &other)
        *this = FromBytes(other.m_bytes.get(), other.m_length);
    return *this;
}

CK47SocketAddress CK47SocketAddress::FromIpv4(ULONG hostOrderAddress, USHORT hostOrderPort) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(hostOrderPort);
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return FromBytes(&address, sizeof(address));
}

CK47SocketAddress CK47SocketAddress::FromBytes(const void* bytes, int length) {
    CK47SocketAddress holder;
    if (bytes == nullptr || length <= 0)
        return holder;
    holder.m_bytes = std::make_unique<uint8_t[]>(static_cast<size_t>(length));
    std::memcpy(holder.m_bytes.get(), bytes, static_cast<size_t>(length));
    holder.m_length = length;
    return holder;
}

CK47SocketAddress CK47SocketAddress::FromSocketName(SOCKET socket) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof(storage));
    int length = sizeof(storage);
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return CK47SocketAddress();
    return FromBytes(&storage, length);
}

void CK47SocketAddress::Clear() noexcept {
    m_bytes.reset();
    m_length = 0;
}

USHORT CK47SocketAddress::Port() const noexcept {
    if (m_length < static_cast<int>(sizeof(sockaddr_in)))
        return 0;
    const auto* address = reinterpret_cast<const sockaddr_in*>(m_bytes.get());
    return address->sin_family == AF_INET ? ntohs(address->sin_port) : 0;
}

bool CK47SocketAddress::operator==(const CK47SocketAddress& other) const noexcept {
    if (m_length != other.m_length)
        return false;
    return m_length == 0 ||
           std::memcmp(m_bytes.get(), other.m_bytes.get(), static_cast<size_t>(m_length)) == 0;
}
