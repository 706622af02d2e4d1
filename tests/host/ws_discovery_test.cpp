// WS-Discovery: probes as clients send them and hostile ones, the scope rules, the messages we
// send read back by the hardened loader, and the responder on real sockets. The multicast cases
// (WsDiscoveryNetns.*) need a network namespace with a multicast loopback; the ctest
// ws_discovery_netns runs them in one (K47_NETNS set) and they skip in a plain run only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <k47/unique_fd.h>
#include <k47/xmldoc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "host/onvif/WsDiscovery.h"

using namespace k47host::onvif;

namespace {

constexpr char kDn[] = "http://www.onvif.org/ver10/network/wsdl";
constexpr char kTds[] = "http://www.onvif.org/ver10/device/wsdl";

// The probe of the npm `onvif` client, byte for byte but for the MessageID.
std::string ClientProbe(const std::string& id = "urn:uuid:6b1f0b4e-1111-4222-8333-944445555666",
                        const std::string& types = "dn:NetworkVideoTransmitter") {
    return "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><Header><wsa:MessageID "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">" +
           id +
           "</wsa:MessageID><wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
           "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To><wsa:Action "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
           "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action></Header><Body>"
           "<Probe xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><Types>" +
           types + "</Types><Scopes /></Probe></Body></Envelope>";
}

// A prefixed probe; `probeBody` goes inside d:Probe.
std::string PrefixedProbe(const std::string& probeBody) {
    return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"><s:Header>"
           "<a:MessageID>uuid:p-1</a:MessageID><a:Action>"
           "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action></s:Header><s:Body>"
           "<d:Probe>" +
           probeBody + "</d:Probe></s:Body></s:Envelope>";
}

std::string ScopesProbe(const std::string& scopes, const std::string& matchBy = {}) {
    std::string attribute = matchBy.empty() ? "" : " MatchBy=\"" + matchBy + "\"";
    return PrefixedProbe("<d:Scopes" + attribute + ">" + scopes + "</d:Scopes>");
}

DiscoveryDevice Lobby() {
    DiscoveryDevice device;
    device.endpoint = DeviceUuid("Lobby");
    device.port = 8081;
    device.scopes = {"onvif://www.onvif.org/name/Lobby", "onvif://www.onvif.org/location/hall/east",
                     "onvif://www.onvif.org/type/ptz"};
    return device;
}

bool Matches(const std::string& datagram, const DiscoveryDevice& device = Lobby()) {
    std::optional<ProbeRequest> probe = ParseProbe(datagram);
    return probe && ProbeMatches(*probe, device);
}

k47::XmlDocument ReadBack(const std::string& message) {
    k47::XmlDocument document = k47::XmlDocument::LoadString(message);
    if (document) {
        document.SetSelectionNamespace("s", "http://www.w3.org/2003/05/soap-envelope");
        document.SetSelectionNamespace("a", kAddressingNamespace);
        document.SetSelectionNamespace("d", kDiscoveryNamespace);
    }
    return document;
}

std::vector<std::string> Texts(const k47::XmlDocument& document, const std::string& xpath) {
    std::vector<xmlNode*> nodes;
    std::vector<std::string> texts;
    if (document.SelectNodes(xpath, &nodes))
        for (xmlNode* node : nodes)
            texts.push_back(document.Text(node));
    return texts;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(WsDiscoveryParse, ClientProbeAndNamespacesOfTypes) {
    std::optional<ProbeRequest> probe = ParseProbe(ClientProbe());
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->messageId, "urn:uuid:6b1f0b4e-1111-4222-8333-944445555666");
    ASSERT_EQ(probe->types.size(), 1u);
    EXPECT_EQ(probe->types[0],
              std::make_pair(std::string(kDn), std::string("NetworkVideoTransmitter")));
    EXPECT_TRUE(probe->scopes.empty());
    EXPECT_TRUE(ProbeMatches(*probe, Lobby()));

    // Prefix declared on the envelope, on Types itself, the default namespace, no Types at all.
    EXPECT_TRUE(Matches(PrefixedProbe("<d:Types>tds:Device</d:Types>")));
    EXPECT_TRUE(Matches(PrefixedProbe("<d:Types xmlns:x=\"" + std::string(kDn) +
                                      "\">\n x:NetworkVideoTransmitter\t</d:Types>")));
    EXPECT_TRUE(
        Matches(PrefixedProbe("<d:Types xmlns=\"" + std::string(kTds) + "\">Device</d:Types>")));
    EXPECT_TRUE(Matches(PrefixedProbe("")));
    EXPECT_TRUE(
        Matches(ClientProbe("uuid:x", "dn:NetworkVideoTransmitter dn:NetworkVideoTransmitter")));
    // Both of our types at once.
    std::optional<ProbeRequest> both =
        ParseProbe(PrefixedProbe("<d:Types xmlns:dn=\"" + std::string(kDn) +
                                 "\">dn:NetworkVideoTransmitter tds:Device</d:Types>"));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->types.size(), 2u);
    EXPECT_TRUE(ProbeMatches(*both, Lobby()));

    // The name counts with its namespace, not its spelling.
    EXPECT_FALSE(Matches(
        PrefixedProbe("<d:Types xmlns:dn=\"urn:other\">dn:NetworkVideoTransmitter</d:Types>")));
    EXPECT_FALSE(Matches(PrefixedProbe("<d:Types>nope:NetworkVideoTransmitter</d:Types>")));
    EXPECT_FALSE(Matches(PrefixedProbe("<d:Types>NetworkVideoTransmitter</d:Types>")));
    EXPECT_FALSE(Matches(PrefixedProbe("<d:Types>tds:NetworkVideoTransmitter</d:Types>")));
    EXPECT_FALSE(Matches(ClientProbe("uuid:x", "dn:Printer")));
    EXPECT_FALSE(Matches(ClientProbe("uuid:x", "dn:NetworkVideoTransmitter dn:Printer")));
    // A prefix declared on a sibling element is not in scope at Types.
    EXPECT_FALSE(Matches(PrefixedProbe("<d:Scopes xmlns:z=\"" + std::string(kDn) +
                                       "\"/><d:Types>z:NetworkVideoTransmitter</d:Types>")));
}

TEST(WsDiscoveryParse, ScopeRules) {
    const std::string kRfc = "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986";
    const std::string kStrcmp = "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0";
    std::optional<ProbeRequest> probe = ParseProbe(
        ScopesProbe(" onvif://www.onvif.org/name\n onvif://www.onvif.org/type/ptz ", kRfc));
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->scopes,
              (Strings{"onvif://www.onvif.org/name", "onvif://www.onvif.org/type/ptz"}));
    EXPECT_EQ(probe->matchBy, kRfc);
    EXPECT_TRUE(ProbeMatches(*probe, Lobby()));

    // Whole segments: a prefix of a segment is no match.
    EXPECT_TRUE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lobby")));
    EXPECT_TRUE(Matches(ScopesProbe("onvif://www.onvif.org/name/")));
    EXPECT_TRUE(Matches(ScopesProbe("onvif://www.onvif.org/location/hall", kRfc)));
    EXPECT_TRUE(Matches(ScopesProbe("onvif://www.onvif.org")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/nam")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lob")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lobby/more")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/location/east")));
    // Scheme and authority are compared without case, the path with it.
    EXPECT_TRUE(Matches(ScopesProbe("ONVIF://WWW.Onvif.ORG/name/Lobby")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/Name/Lobby")));
    EXPECT_FALSE(Matches(ScopesProbe("http://www.onvif.org/name/Lobby")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.com/name/Lobby")));
    // Every requested scope must be matched.
    EXPECT_FALSE(
        Matches(ScopesProbe("onvif://www.onvif.org/name onvif://www.onvif.org/type/dome")));

    // strcmp0: the whole string, exactly.
    EXPECT_TRUE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lobby", kStrcmp)));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/name", kStrcmp)));
    EXPECT_FALSE(Matches(ScopesProbe("ONVIF://www.onvif.org/name/Lobby", kStrcmp)));
    // An unknown rule matches nothing, even a scope the device has.
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lobby", kRfc + "x")));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org/name/Lobby", "urn:custom")));
    // A device without scopes matches a probe without scopes only.
    DiscoveryDevice bare = Lobby();
    bare.scopes.clear();
    EXPECT_TRUE(Matches(ClientProbe(), bare));
    EXPECT_FALSE(Matches(ScopesProbe("onvif://www.onvif.org"), bare));
}

TEST(WsDiscoveryParse, WhatIsNotAProbeGivesNothing) {
    DiscoveryDevice device = Lobby();
    ProbeRequest probe{"urn:uuid:1", {}, {}, {}};
    std::string why = "stale";
    // Discovery traffic that is not a probe (ours looped back among it) is not worth a log line.
    for (const std::string& message :
         {BuildHello(device, "10.0.0.1", "urn:uuid:2", 1, 1), BuildBye(device, "urn:uuid:3", 1, 2),
          BuildProbeMatches(probe, device, "10.0.0.1", "urn:uuid:4", 1, 3)}) {
        EXPECT_FALSE(ParseProbe(message, &why)) << message;
        EXPECT_EQ(why, "") << message;
    }
    // Hostile or broken datagrams: nothing, and a reason for the log.
    std::string soap11 = ClientProbe();
    soap11.replace(soap11.find("http://www.w3.org/2003/05/soap-envelope"),
                   std::string("http://www.w3.org/2003/05/soap-envelope").size(),
                   "http://schemas.xmlsoap.org/soap/envelope/");
    std::string noId = ClientProbe();
    noId.erase(noId.find("<wsa:MessageID"), noId.find("<wsa:To") - noId.find("<wsa:MessageID"));
    std::string wrongAction = ClientProbe();
    wrongAction.replace(wrongAction.find("discovery/Probe<"), 15, "discovery/Hello");
    std::string huge = ClientProbe();
    huge.insert(huge.find("</Types>"), std::string(kMaxProbeBytes, ' '));
    const std::vector<std::string> hostile = {
        "",
        "garbage \x01\xff",
        ClientProbe().substr(0, 200),
        soap11,
        noId,
        wrongAction,
        huge,
        "<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY x \"y\">]>" + ClientProbe(),
        "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Body><Probe "
        "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"/></Body></Envelope>",
    };
    for (const std::string& datagram : hostile) {
        why.clear();
        EXPECT_FALSE(ParseProbe(datagram, &why)) << datagram.substr(0, 300);
        EXPECT_NE(why, "") << datagram.substr(0, 300);
    }
}

TEST(WsDiscoveryMessages, ProbeMatchesReadBack) {
    std::optional<ProbeRequest> parsed = ParseProbe(ClientProbe("urn:uuid:abc&amp;&lt;\"'"));
    ASSERT_TRUE(parsed);
    const ProbeRequest& probe = *parsed;
    DiscoveryDevice device = Lobby();
    device.scopes.push_back("onvif://www.onvif.org/name/</d:Scopes><evil a='1'>&amp;");
    std::string text = BuildProbeMatches(probe, device, "192.0.2.9", "urn:uuid:reply", 77, 5);
    k47::XmlDocument document = ReadBack(text);
    ASSERT_TRUE(document) << text;
    EXPECT_EQ(Texts(document, "s:Header/a:RelatesTo"), Strings{"urn:uuid:abc&<\"'"});
    EXPECT_EQ(Texts(document, "s:Header/a:MessageID"), Strings{"urn:uuid:reply"});
    EXPECT_EQ(Texts(document, "s:Header/a:Action"),
              Strings{"http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches"});
    EXPECT_EQ(Texts(document, "s:Header/d:AppSequence/@InstanceId"), Strings{"77"});
    EXPECT_EQ(Texts(document, "s:Header/d:AppSequence/@MessageNumber"), Strings{"5"});
    EXPECT_EQ(Texts(document, "s:Body/d:ProbeMatches/d:ProbeMatch").size(), 1u);
    EXPECT_EQ(Texts(document, "s:Body/*").size(), 1u);
    const std::string match = "s:Body/d:ProbeMatches/d:ProbeMatch/";
    EXPECT_EQ(Texts(document, match + "a:EndpointReference/a:Address"), Strings{device.endpoint});
    EXPECT_EQ(Texts(document, match + "d:XAddrs"),
              Strings{"http://192.0.2.9:8081/onvif/device_service"});
    EXPECT_EQ(Texts(document, match + "d:Types"), Strings{"dn:NetworkVideoTransmitter tds:Device"});
    EXPECT_EQ(Texts(document, "//evil").size(), 0u);
    std::vector<std::string> scopes = Texts(document, match + "d:Scopes");
    ASSERT_EQ(scopes.size(), 1u);
    EXPECT_NE(scopes[0].find(" onvif://www.onvif.org/name/</d:Scopes><evil a='1'>&amp;"),
              std::string::npos);

    // The types of the answer resolve to what a probe asks for: our answer matches our parser's
    // reading of a probe naming those same types.
    std::string asProbe = PrefixedProbe("<d:Types xmlns:dn=\"" + std::string(kDn) + "\">" +
                                        Texts(document, match + "d:Types")[0] + "</d:Types>");
    EXPECT_TRUE(Matches(asProbe));
}

TEST(WsDiscoveryMessages, HelloAndBye) {
    DiscoveryDevice device = Lobby();
    device.path = "/onvif/device_service?x=1&y=2";
    k47::XmlDocument hello = ReadBack(BuildHello(device, "10.9.8.7", "urn:uuid:h", 3, 1));
    ASSERT_TRUE(hello);
    EXPECT_EQ(Texts(hello, "s:Header/a:Action"),
              Strings{"http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello"});
    EXPECT_EQ(Texts(hello, "s:Header/a:To"),
              Strings{"urn:schemas-xmlsoap-org:ws:2005:04:discovery"});
    EXPECT_EQ(Texts(hello, "s:Header/a:RelatesTo").size(), 0u);
    EXPECT_EQ(Texts(hello, "s:Body/d:Hello/a:EndpointReference/a:Address"),
              Strings{device.endpoint});
    EXPECT_EQ(Texts(hello, "s:Body/d:Hello/d:XAddrs"),
              Strings{"http://10.9.8.7:8081/onvif/device_service?x=1&y=2"});
    k47::XmlDocument bye = ReadBack(BuildBye(device, "urn:uuid:b", 3, 2));
    ASSERT_TRUE(bye);
    EXPECT_EQ(Texts(bye, "s:Header/a:Action"),
              Strings{"http://schemas.xmlsoap.org/ws/2005/04/discovery/Bye"});
    EXPECT_EQ(Texts(bye, "s:Body/d:Bye/a:EndpointReference/a:Address"), Strings{device.endpoint});
    EXPECT_EQ(Texts(bye, "s:Header/d:AppSequence/@MessageNumber"), Strings{"2"});
}

TEST(WsDiscoveryMessages, DeviceUuid) {
    // Reference values from Python's uuid.uuid5 over the same namespace UUID.
    EXPECT_EQ(DeviceUuid("Lobby"), "urn:uuid:e9a29605-4200-5caa-8a59-a1ba320861ed");
    EXPECT_EQ(DeviceUuid("Caméra 2"), "urn:uuid:a9b9dff7-cf99-5df7-8b31-77f427738173");
    EXPECT_EQ(DeviceUuid("Lobby"), DeviceUuid("Lobby"));
    EXPECT_NE(DeviceUuid("Lobby"), DeviceUuid("lobby"));
    EXPECT_NE(DeviceUuid(""), DeviceUuid(std::string_view("\0", 1)));
    const std::regex form(
        "urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const char* name : {"", "a", "Lobby", "x y\tz", "\xff\xfe"})
        EXPECT_TRUE(std::regex_match(DeviceUuid(name), form)) << DeviceUuid(name);
}

namespace {

// A UDP socket of the test, bound to `address`:`port`.
k47::UniqueFd UdpSocket(const char* address = "127.0.0.1", uint16_t port = 0, int reuse = 1) {
    k47::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    inet_pton(AF_INET, address, &at.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        ADD_FAILURE() << "bind " << address << ":" << port << ": " << std::strerror(errno);
    return fd;
}

uint16_t FreeUdpPort() {
    k47::UniqueFd fd = UdpSocket();
    sockaddr_in at{};
    socklen_t length = sizeof at;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin_port);
}

void SendTo(const k47::UniqueFd& fd, const std::string& text, const char* address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    ASSERT_EQ(::sendto(fd.get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(text.size()));
}

// Every datagram that arrives until `quiet` passes without one (or `limit` passed in all).
std::vector<std::string> Receive(const k47::UniqueFd& fd, std::chrono::milliseconds quiet,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::vector<std::string> got;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0)
            break;
        char buffer[65536];
        ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n >= 0)
            got.emplace_back(buffer, static_cast<size_t>(n));
    }
    return got;
}

// The endpoints and XAddrs of ProbeMatches datagrams relating to `id`, each holding one match.
std::vector<std::pair<std::string, std::string>> Answers(const std::vector<std::string>& got,
                                                         const std::string& id) {
    std::vector<std::pair<std::string, std::string>> answers;
    for (const std::string& datagram : got) {
        k47::XmlDocument document = ReadBack(datagram);
        EXPECT_TRUE(document) << datagram;
        if (!document)
            continue;
        EXPECT_EQ(Texts(document, "s:Header/a:RelatesTo"), Strings{id});
        Strings endpoint =
            Texts(document, "s:Body/d:ProbeMatches/d:ProbeMatch/a:EndpointReference/a:Address");
        Strings xaddrs = Texts(document, "s:Body/d:ProbeMatches/d:ProbeMatch/d:XAddrs");
        EXPECT_EQ(endpoint.size(), 1u) << datagram;
        if (endpoint.size() == 1 && xaddrs.size() == 1)
            answers.emplace_back(endpoint[0], xaddrs[0]);
    }
    std::sort(answers.begin(), answers.end());
    return answers;
}

std::vector<DiscoveryDevice> TwoDevices() {
    DiscoveryDevice lobby = Lobby();
    DiscoveryDevice gate;
    gate.endpoint = DeviceUuid("Gate");
    gate.port = 8082;
    gate.scopes = {"onvif://www.onvif.org/name/Gate"};
    return {lobby, gate};
}

// What the two devices answer when the probe reached us on `local` (the Gate has none fixed).
std::vector<std::pair<std::string, std::string>> Expected(const std::string& local) {
    std::vector<std::pair<std::string, std::string>> expected = {
        {DeviceUuid("Lobby"), "http://" + local + ":8081/onvif/device_service"},
        {DeviceUuid("Gate"), "http://" + local + ":8082/onvif/device_service"}};
    std::sort(expected.begin(), expected.end());
    return expected;
}

}  // namespace

TEST(WsDiscoveryResponder, UnicastProbeOnLoopback) {
    WsDiscoverySettings settings;
    settings.port = FreeUdpPort();
    settings.devices = TwoDevices();
    WsDiscovery discovery(settings);
    std::string error;
    ASSERT_TRUE(discovery.Start(&error)) << error;
    k47::UniqueFd client = UdpSocket();

    // Bad datagrams first: the responder logs them and goes on.
    SendTo(client, "garbage", "127.0.0.1", settings.port);
    SendTo(client, ClientProbe().substr(0, 100), "127.0.0.1", settings.port);
    SendTo(client, ClientProbe("urn:uuid:one"), "127.0.0.1", settings.port);
    EXPECT_EQ(Answers(Receive(client, std::chrono::milliseconds(300)), "urn:uuid:one"),
              Expected("127.0.0.1"));

    // Only the device whose scope is asked for; none for another type.
    SendTo(client, ScopesProbe("onvif://www.onvif.org/name/Gate"), "127.0.0.1", settings.port);
    std::vector<std::string> gate = Receive(client, std::chrono::milliseconds(300));
    ASSERT_EQ(gate.size(), 1u);
    EXPECT_NE(gate[0].find("http://127.0.0.1:8082/onvif/device_service"), std::string::npos);
    SendTo(client, ClientProbe("urn:uuid:two", "dn:Printer"), "127.0.0.1", settings.port);
    EXPECT_EQ(Receive(client, std::chrono::milliseconds(300)).size(), 0u);

    discovery.Stop();
    discovery.Stop();
    SendTo(client, ClientProbe("urn:uuid:three"), "127.0.0.1", settings.port);
    EXPECT_EQ(Receive(client, std::chrono::milliseconds(200)).size(), 0u);
    // A fixed address is answered whatever the probe arrived on, and the port can be had again.
    settings.devices[0].fixedAddress = "192.0.2.7";
    WsDiscovery again(settings);
    ASSERT_TRUE(again.Start(&error)) << error;
    SendTo(client, ClientProbe("urn:uuid:four"), "127.0.0.1", settings.port);
    std::vector<std::pair<std::string, std::string>> expected = {
        {DeviceUuid("Lobby"), "http://192.0.2.7:8081/onvif/device_service"},
        {DeviceUuid("Gate"), "http://127.0.0.1:8082/onvif/device_service"}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Answers(Receive(client, std::chrono::milliseconds(300)), "urn:uuid:four"), expected);
}

TEST(WsDiscoveryResponder, BadSettingsFailStart) {
    std::string error;
    WsDiscoverySettings settings;
    settings.port = FreeUdpPort();
    settings.listenAddress = "not-an-address";
    EXPECT_FALSE(WsDiscovery(settings).Start(&error));
    EXPECT_NE(error.find("not-an-address"), std::string::npos);
    settings.listenAddress = "0.0.0.0";
    // Held without SO_REUSEADDR, the port cannot be shared.
    k47::UniqueFd taken = UdpSocket("0.0.0.0", settings.port, 0);
    error.clear();
    EXPECT_FALSE(WsDiscovery(settings).Start(&error));
    EXPECT_NE(error.find(std::to_string(settings.port)), std::string::npos) << error;
}

// Multicast on the real port and group, in the namespace the ws_discovery_netns ctest makes.
class WsDiscoveryNetns : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("K47_NETNS") == nullptr)
            GTEST_SKIP() << "runs in a network namespace: ctest -R ws_discovery_netns";
    }
};

TEST_F(WsDiscoveryNetns, HelloProbeByeOnTheGroup) {
    // A listener joined to the group on the loopback, as another client on the link.
    k47::UniqueFd listener = UdpSocket("0.0.0.0", kDiscoveryPort);
    ip_mreqn join{};
    inet_pton(AF_INET, kDiscoveryGroup, &join.imr_multiaddr);
    inet_pton(AF_INET, "127.0.0.1", &join.imr_address);
    ASSERT_EQ(setsockopt(listener.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0)
        << std::strerror(errno);

    WsDiscoverySettings settings;
    settings.devices = TwoDevices();
    WsDiscovery discovery(settings);
    std::string error;
    ASSERT_TRUE(discovery.Start(&error)) << error;

    Strings hellos;
    for (const std::string& datagram : Receive(listener, std::chrono::milliseconds(300))) {
        k47::XmlDocument document = ReadBack(datagram);
        ASSERT_TRUE(document);
        for (const std::string& xaddrs : Texts(document, "s:Body/d:Hello/d:XAddrs"))
            hellos.push_back(Texts(document, "s:Body/d:Hello/a:EndpointReference/a:Address")[0] +
                             " " + xaddrs);
    }
    std::sort(hellos.begin(), hellos.end());
    Strings expectedHellos;
    for (const auto& [endpoint, xaddrs] : Expected("127.0.0.1"))
        expectedHellos.push_back(endpoint + " " + xaddrs);
    EXPECT_EQ(hellos, expectedHellos);

    // A probe to the group from an ephemeral port: one datagram per device, back to that port.
    k47::UniqueFd client = UdpSocket("127.0.0.1", 0);
    SendTo(client, ClientProbe("urn:uuid:group"), kDiscoveryGroup, kDiscoveryPort);
    std::vector<std::string> got = Receive(client, std::chrono::milliseconds(300));
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(Answers(got, "urn:uuid:group"), Expected("127.0.0.1"));
    SendTo(client, ClientProbe("urn:uuid:other", "dn:Printer"), kDiscoveryGroup, kDiscoveryPort);
    EXPECT_EQ(Receive(client, std::chrono::milliseconds(300)).size(), 0u);

    Receive(listener, std::chrono::milliseconds(50));  // the probes the listener saw too
    discovery.Stop();
    Strings byes;
    for (const std::string& datagram : Receive(listener, std::chrono::milliseconds(300))) {
        k47::XmlDocument document = ReadBack(datagram);
        ASSERT_TRUE(document);
        for (const std::string& endpoint :
             Texts(document, "s:Body/d:Bye/a:EndpointReference/a:Address"))
            byes.push_back(endpoint);
    }
    std::sort(byes.begin(), byes.end());
    Strings endpoints{DeviceUuid("Lobby"), DeviceUuid("Gate")};
    std::sort(endpoints.begin(), endpoints.end());
    EXPECT_EQ(byes, endpoints);
}
