// An owned byte copy of a socket address with its length, compared bytewise. Used for the peer
// that owns a camera's datagram session and for a remote client's destination. Not thread-safe:
// each holder belongs to one owner.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class CK47SocketAddress {
  public:
    CK47SocketAddress() noexcept = default;
    CK47SocketAddress(const CK47SocketAddress& other);
    CK47SocketAddress& operator=(const CK47SocketAddress& other);
    CK47SocketAddress(CK47SocketAddress&&) noexcept = default;
    CK47SocketAddress& operator=(CK47SocketAddress&&) noexcept = default;

    // An IPv4 address from a host-order address and port: family AF_INET, port and address in
    // network order, the rest zero (16 bytes).
    static CK47SocketAddress FromIpv4(ULONG hostOrderAddress, USHORT hostOrderPort);
    // A copy of `length` bytes as received.
    static CK47SocketAddress FromBytes(const void* bytes, int length);
    // The socket's own name as the platform reports it; empty when it cannot be read.
    static CK47SocketAddress FromSocketName(SOCKET socket);

    bool Empty() const noexcept { return m_length == 0; }
    void Clear() noexcept;
    const sockaddr* Get() const noexcept {
        return reinterpret_cast<const sockaddr*>(m_bytes.get());
    }
    int Length() const noexcept { return m_length; }
    // The port in host order when the family is AF_INET, else 0.
    USHORT Port() const noexcept;

    // Equal when both are empty, or when lengths and bytes are equal.
    bool operator==(const CK47SocketAddress& other) const noexcept;
    bool operator!=(const CK47SocketAddress& other) const noexcept { return !(*this == other); }

  private:
    std::unique_ptr<uint8_t[]> m_bytes;
    int m_length = 0;
};
