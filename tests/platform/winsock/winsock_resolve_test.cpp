// Name resolution and address text: getaddrinfo with the Windows ADDRINFOA layout and Winsock
// error numbers, inet_pton/inet_ntop. No test here reaches a name server: "localhost" comes from
// the hosts file, and the unresolvable names are refused by the resolver before any lookup.
#include <set>
#include <string>

#include "winsock_test_util.h"

using namespace k47test;

namespace {

class WinsockResolve : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, session_.result()); }
    WinsockSession session_;
};

struct AddrInfoList {
    addrinfo* head = nullptr;
    ~AddrInfoList() { freeaddrinfo(head); }
};

}  // namespace

TEST_F(WinsockResolve, LocalhostGivesLoopbackAddressesInTheWindowsLayout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfoList list;
    ASSERT_EQ(0, getaddrinfo("localhost", "8080", &hints, &list.head));
    ASSERT_NE(nullptr, list.head);
    std::set<std::string> seen;
    for (addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        EXPECT_EQ(SOCK_STREAM, a->ai_socktype);
        ASSERT_NE(nullptr, a->ai_addr);
        EXPECT_EQ(a->ai_family, a->ai_addr->sa_family) << "Windows family numbers in both";
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ai_family == AF_INET) {
            EXPECT_EQ(sizeof(sockaddr_in), a->ai_addrlen);
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            EXPECT_EQ(8080, ntohs(in->sin_port));
            ASSERT_NE(nullptr, inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)));
        } else {
            ASSERT_EQ(AF_INET6, a->ai_family);
            EXPECT_EQ(sizeof(sockaddr_in6), a->ai_addrlen);
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            EXPECT_EQ(8080, ntohs(in6->sin6_port));
            ASSERT_NE(nullptr, inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)));
        }
        seen.insert(text);
    }
    EXPECT_TRUE(seen.count("127.0.0.1") || seen.count("::1")) << *seen.begin();

    // The first IPv4 result connects, as the socket class does with it.
    AddrInfoList v4;
    hints.ai_family = AF_INET;
    UniqueSocket listener = Listener();
    std::string port = std::to_string(PortOf(listener.get()));
    ASSERT_EQ(0, getaddrinfo("localhost", port.c_str(), &hints, &v4.head));
    UniqueSocket client(socket(v4.head->ai_family, v4.head->ai_socktype, v4.head->ai_protocol));
    EXPECT_EQ(0, connect(client.get(), v4.head->ai_addr, static_cast<int>(v4.head->ai_addrlen)))
        << WSAGetLastError();
}

TEST_F(WinsockResolve, FailuresAreWinsockNumbers) {
    addrinfo numeric{};
    numeric.ai_flags = AI_NUMERICHOST;
    addrinfo bad_flags{};
    bad_flags.ai_flags = 0x40000;
    addrinfo bad_family{};
    bad_family.ai_family = 99;
    struct {
        const char* node;
        const char* service;
        const addrinfo* hints;
        int error;
    } const cases[] = {
        {"no..such..host", nullptr, nullptr, WSAHOST_NOT_FOUND},
        {"999.1.1.1", nullptr, &numeric, WSAHOST_NOT_FOUND},
        {"localhost", nullptr, &numeric, WSAHOST_NOT_FOUND},
        {nullptr, nullptr, nullptr, WSAHOST_NOT_FOUND},
        {"127.0.0.1", "no-such-service-name", nullptr, WSATYPE_NOT_FOUND},
        {"127.0.0.1", nullptr, &bad_flags, WSAEINVAL},
        {"127.0.0.1", nullptr, &bad_family, WSAEAFNOSUPPORT},
    };
    for (const auto& c : cases) {
        addrinfo* result = reinterpret_cast<addrinfo*>(0x1);
        WSASetLastError(0);
        EXPECT_EQ(c.error, getaddrinfo(c.node, c.service, c.hints, &result))
            << (c.node ? c.node : "(null)");
        EXPECT_EQ(nullptr, result);
        EXPECT_EQ(c.error, WSAGetLastError());
    }

    AddrInfoList ok;
    ASSERT_EQ(0, getaddrinfo("192.0.2.7", "80", &numeric, &ok.head));
    const auto* in = reinterpret_cast<const sockaddr_in*>(ok.head->ai_addr);
    const unsigned char expected[4] = {192, 0, 2, 7};
    EXPECT_EQ(0, std::memcmp(&in->sin_addr, expected, 4));
    EXPECT_EQ(80, ntohs(in->sin_port));
}
