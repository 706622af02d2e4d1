// WS-Discovery: probe reading and matching, the three messages we send, and the UDP responder.
#include "host/onvif/WsDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libxml/tree.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <k47/xmldoc.h>

#include "common/K47Global.h"
#include "host/http/LogThrottle.h"
#include "host/onvif/OnvifSoap.h"

namespace k47host::onvif {

namespace {

constexpr char kProbeAction[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
constexpr char kRfc3986[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986";
constexpr char kStrcmp0[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0";
constexpr char kOurTypes[] = "dn:NetworkVideoTransmitter tds:Device";

const char* Str(const xmlChar* text) {
    return reinterpret_cast<const char*>(text);
}

bool IsElement(const xmlNode* node, const char* localName, const char* uri) {
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
           node->ns->href != nullptr && std::strcmp(Str(node->name), localName) == 0 &&
           std::strcmp(Str(node->ns->href), uri) == 0;
}

const xmlNode* Child(const xmlNode* parent, const char* localName, const char* uri) {
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next)
        if (IsElement(child, localName, uri))
            return child;
    return nullptr;
}

std::string NodeText(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? Str(content) : "";
    xmlFree(content);
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t begin = text.find_first_not_of(" \t\r\n", at);
        if (begin == std::string_view::npos)
            break;
        size_t end = text.find_first_of(" \t\r\n", begin);
        if (end == std::string_view::npos)
            end = text.size();
        words.emplace_back(text.substr(begin, end - begin));
        at = end;
    }
    return words;
}

std::optional<ProbeRequest> Refuse(std::string* why, std::string text) {
    if (why != nullptr)
        *why = std::move(text);
    return std::nullopt;
}

// An RFC 3986 URI cut into the parts the prefix rule compares: scheme and authority (compared
// without regard to case) and the path's segments.
struct ScopeParts {
    std::string scheme, authority;
    std::vector<std::string> segments;
};

ScopeParts SplitScope(std::string_view uri) {
    ScopeParts parts;
    size_t colon = uri.find(':');
    if (colon != std::string_view::npos && uri.find('/') > colon) {
        parts.scheme = std::string(uri.substr(0, colon));
        uri.remove_prefix(colon + 1);
    }
    if (uri.substr(0, 2) == "//") {
        uri.remove_prefix(2);
        size_t slash = uri.find('/');
        parts.authority = std::string(uri.substr(0, slash));
        uri.remove_prefix(slash == std::string_view::npos ? uri.size() : slash);
    }
    for (char& c : parts.scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : parts.authority)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // "/a/b/" and "/a/b" name the same segments: empty segments are not compared.
    size_t at = 0;
    while (at <= uri.size()) {
        size_t slash = uri.find('/', at);
        if (slash == std::string_view::npos)
            slash = uri.size();
        if (slash > at)
            parts.segments.emplace_back(uri.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

// The probe's scope matches when scheme and authority are equal and its segments are the first
// segments of the device's, whole segment by whole segment (".../name" matches ".../name/Lobby",
// ".../nam" does not).
bool PrefixMatch(std::string_view requested, std::string_view offered) {
    ScopeParts want = SplitScope(requested), have = SplitScope(offered);
    if (want.scheme != have.scheme || want.authority != have.authority ||
        want.segments.size() > have.segments.size())
        return false;
    for (size_t i = 0; i < want.segments.size(); ++i)
        if (want.segments[i] != have.segments[i])
            return false;
    return true;
}

std::string EnvelopeStart(std::string_view action, std::string_view messageId,
                          std::string_view relatesTo, std::string_view to, uint64_t instanceId,
                          uint64_t messageNumber) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope xmlns:s=\"";
    out += kSoap12Namespace;
    out += "\" xmlns:a=\"";
    out += kAddressingNamespace;
    out += "\" xmlns:d=\"";
    out += kDiscoveryNamespace;
    out += "\" xmlns:dn=\"";
    out += kNetworkNamespace;
    out += "\" xmlns:tds=\"";
    out += kDeviceNamespace;
    out += "\"><s:Header>";
    out += OnvifTextElement("a:MessageID", messageId);
    if (!relatesTo.empty())
        out += OnvifTextElement("a:RelatesTo", relatesTo);
    out += OnvifTextElement("a:To", to);
    out += OnvifTextElement("a:Action", action);
    out += "<d:AppSequence InstanceId=\"" + std::to_string(instanceId) + "\" MessageNumber=\"" +
           std::to_string(messageNumber) + "\"/></s:Header><s:Body>";
    return out;
}

const char kEnvelopeEnd[] = "</s:Body></s:Envelope>";

// EndpointReference, Types, Scopes, XAddrs and MetadataVersion of a ProbeMatch or a Hello.
std::string DeviceParts(const DiscoveryDevice& device, std::string_view address) {
    std::string out = "<a:EndpointReference>" + OnvifTextElement("a:Address", device.endpoint) +
                      "</a:EndpointReference><d:Types>" + kOurTypes + "</d:Types>";
    std::string scopes;
    for (const std::string& scope : device.scopes)
        scopes += (scopes.empty() ? "" : " ") + scope;
    out += OnvifTextElement("d:Scopes", scopes);
    out += OnvifTextElement("d:XAddrs", "http://" + std::string(address) + ":" +
                                            std::to_string(device.port) + device.path);
    return out + "<d:MetadataVersion>1</d:MetadataVersion>";
}

http::LogThrottle& DiscoveryLog() {
    static http::LogThrottle throttle(std::chrono::seconds(10));
    return throttle;
}
const char kBadDatagram = 0, kSendFailed = 0;

std::string AddressText(uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = networkOrder;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace

std::string DeviceUuid(std::string_view name) {
    // Our namespace UUID, drawn once at random; changing it would change every endpoint.
    static const unsigned char kNamespace[16] = {0x3f, 0x1c, 0x8a, 0x52, 0x9e, 0x47, 0x4b, 0x0d,
                                                 0xa6, 0x21, 0x5e, 0xc4, 0x77, 0x90, 0xd3, 0x18};
    std::string input(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
    input.append(name);
    unsigned char hash[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), hash);
    hash[6] = static_cast<unsigned char>((hash[6] & 0x0f) | 0x50);  // version 5
    hash[8] = static_cast<unsigned char>((hash[8] & 0x3f) | 0x80);  // RFC 4122 variant
    std::string out = "urn:uuid:";
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += kHex[hash[i] >> 4];
        out += kHex[hash[i] & 0x0f];
    }
    return out;
}

std::optional<ProbeRequest> ParseProbe(std::string_view datagram) {
    return ParseProbe(datagram, nullptr);
}

std::optional<ProbeRequest> ParseProbe(std::string_view datagram, std::string* why) {
    if (why != nullptr)
        why->clear();
    if (datagram.size() > kMaxProbeBytes)
        return Refuse(why, "larger than a probe");
    k47::XmlError error;
    k47::XmlLoadOptions options;
    options.max_bytes = kMaxProbeBytes;
    k47::XmlDocument document = k47::XmlDocument::LoadString(datagram, &error, options);
    if (!document)
        return Refuse(why, "not well-formed XML: " + error.message);
    const xmlNode* envelope = document.DocumentElement();
    if (!IsElement(envelope, "Envelope", kSoap12Namespace))
        return Refuse(why, "not a SOAP 1.2 envelope");
    const xmlNode* header = Child(envelope, "Header", kSoap12Namespace);
    const xmlNode* body = Child(envelope, "Body", kSoap12Namespace);
    if (header == nullptr || body == nullptr)
        return Refuse(why, "a SOAP envelope without Header or Body");
    const xmlNode* probe = nullptr;
    for (const xmlNode* child = body->children; child != nullptr && probe == nullptr;
         child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            probe = child;
    // Hello, Bye and matches (ours among them, looped back) are discovery traffic, not faults.
    if (probe == nullptr || !IsElement(probe, "Probe", kDiscoveryNamespace))
        return std::nullopt;
    if (const xmlNode* action = Child(header, "Action", kAddressingNamespace))
        if (NodeText(action) != kProbeAction)
            return Refuse(why, "a Probe with the action " + NodeText(action));
    ProbeRequest request;
    if (const xmlNode* id = Child(header, "MessageID", kAddressingNamespace))
        request.messageId = NodeText(id);
    if (request.messageId.empty())
        return Refuse(why, "a Probe without MessageID");
    if (const xmlNode* types = Child(probe, "Types", kDiscoveryNamespace)) {
        for (const std::string& qname : Words(NodeText(types))) {
            size_t colon = qname.find(':');
            std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
            std::string local = colon == std::string::npos ? qname : qname.substr(colon + 1);
            // The prefix is resolved where the Types element stands; one that is not declared
            // leaves the type without namespace, which no device has.
            xmlNs* ns = xmlSearchNs(
                types->doc, const_cast<xmlNode*>(types),
                prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
            request.types.emplace_back(ns != nullptr && ns->href != nullptr ? Str(ns->href) : "",
                                       local);
        }
    }
    if (const xmlNode* scopes = Child(probe, "Scopes", kDiscoveryNamespace)) {
        request.scopes = Words(NodeText(scopes));
        xmlChar* matchBy = xmlGetNoNsProp(scopes, reinterpret_cast<const xmlChar*>("MatchBy"));
        if (matchBy != nullptr) {
            request.matchBy = Words(Str(matchBy)).empty() ? "" : Words(Str(matchBy)).front();
            xmlFree(matchBy);
        }
    }
    return request;
}

bool ProbeMatches(const ProbeRequest& probe, const DiscoveryDevice& device) {
    for (const auto& [uri, local] : probe.types) {
        bool known = (uri == kNetworkNamespace && local == "NetworkVideoTransmitter") ||
                     (uri == kDeviceNamespace && local == "Device");
        if (!known)
            return false;
    }
    bool exact = probe.matchBy == kStrcmp0;
    if (!exact && !probe.matchBy.empty() && probe.matchBy != kRfc3986)
        return false;
    for (const std::string& wanted : probe.scopes) {
        bool found = false;
        for (const std::string& offered : device.scopes)
            found = found || (exact ? wanted == offered : PrefixMatch(wanted, offered));
        if (!found)
            return false;
    }
    return true;
}

std::string BuildProbeMatches(const ProbeRequest& probe, const DiscoveryDevice& device,
                              std::string_view address, std::string_view messageId,
                              uint64_t instanceId, uint64_t messageNumber) {
    std::string out = EnvelopeStart(
        "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches", messageId, probe.messageId,
        "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous", instanceId,
        messageNumber);
    out += "<d:ProbeMatches><d:ProbeMatch>" + DeviceParts(device, address) +
           "</d:ProbeMatch></d:ProbeMatches>";
    return out + kEnvelopeEnd;
}

std::string BuildHello(const DiscoveryDevice& device, std::string_view address,
                       std::string_view messageId, uint64_t instanceId, uint64_t messageNumber) {
    std::string out =
        EnvelopeStart("http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello", messageId, {},
                      "urn:schemas-xmlsoap-org:ws:2005:04:discovery", instanceId, messageNumber);
    return out + "<d:Hello>" + DeviceParts(device, address) + "</d:Hello>" + kEnvelopeEnd;
}

std::string BuildBye(const DiscoveryDevice& device, std::string_view messageId, uint64_t instanceId,
                     uint64_t messageNumber) {
    std::string out =
        EnvelopeStart("http://schemas.xmlsoap.org/ws/2005/04/discovery/Bye", messageId, {},
                      "urn:schemas-xmlsoap-org:ws:2005:04:discovery", instanceId, messageNumber);
    return out + "<d:Bye><a:EndpointReference>" + OnvifTextElement("a:Address", device.endpoint) +
           "</a:EndpointReference></d:Bye>" + kEnvelopeEnd;
}

WsDiscovery::WsDiscovery(WsDiscoverySettings settings) : settings_(std::move(settings)) {}

WsDiscovery::~WsDiscovery() {
    Stop();
}

std::string WsDiscovery::NextMessageId() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return DeviceUuid(std::to_string(instanceId_) + "/" + std::to_string(++messageNumber_));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    static const char kHex[] = "0123456789abcdef";
    std::string out = "urn:uuid:";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0f];
    }
    return out;
}

bool WsDiscovery::Start(std::string* error) {
    auto fail = [&](std::string text) {
        if (error != nullptr)
            *error = text + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        socket_.reset();
        wake_.reset();
        interfaces_.clear();
        return false;
    };
    if (thread_.joinable())
        return true;
    errno = 0;
    in_addr listen{}, group{};
    if (inet_pton(AF_INET, settings_.listenAddress.c_str(), &listen) != 1)
        return fail("discovery: not an IPv4 address: " + settings_.listenAddress);
    if (inet_pton(AF_INET, settings_.group.c_str(), &group) != 1)
        return fail("discovery: not an IPv4 group: " + settings_.group);
    socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!socket_ || !wake_)
        return fail("discovery: socket");
    int on = 1, ttl = 1;
    if (setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(socket_.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        return fail("discovery: socket options");
    // Bound to every address so that both the group's datagrams and unicast probes arrive.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(settings_.port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return fail("discovery: cannot bind UDP port " + std::to_string(settings_.port));

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return fail("discovery: getifaddrs");
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            (it->ifa_flags & (IFF_UP | IFF_MULTICAST)) != (IFF_UP | IFF_MULTICAST))
            continue;
        uint32_t address = reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        if (listen.s_addr != htonl(INADDR_ANY) && address != listen.s_addr)
            continue;
        Interface interface {
            static_cast<int>(if_nametoindex(it->ifa_name)), address, it->ifa_name
        };
        bool seen = false;  // an interface with several addresses joins once
        for (const Interface& known : interfaces_)
            seen = seen || known.index == interface.index;
        if (seen || interface.index == 0)
            continue;
        ip_mreqn join{};
        join.imr_multiaddr = group;
        join.imr_address.s_addr = address;
        join.imr_ifindex = interface.index;
        if (setsockopt(socket_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
            g_ErrorHandling.WriteLog("k47ptz-host: discovery: cannot join %s on %s: %s\n",
                                     settings_.group.c_str(), it->ifa_name, std::strerror(errno));
            continue;
        }
        interfaces_.push_back(interface);
    }
    freeifaddrs(list);
    if (interfaces_.empty())
        g_ErrorHandling.WriteLog(
            "k47ptz-host: discovery: no up multicast IPv4 interface%s; only unicast probes are "
            "answered\n",
            listen.s_addr != htonl(INADDR_ANY) ? (" with " + settings_.listenAddress).c_str() : "");
    // A restart must be told apart from the run before it: InstanceId grows with time.
    instanceId_ = static_cast<uint64_t>(std::time(nullptr));
    messageNumber_ = 0;
    Announce(true);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void WsDiscovery::Stop() {
    if (!thread_.joinable())
        return;
    uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) {
        // The eventfd cannot be full after one write; nothing else can fail here.
    }
    thread_.join();
    Announce(false);
    socket_.reset();
    wake_.reset();
    interfaces_.clear();
}

void WsDiscovery::Announce(bool hello) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(settings_.port);
    inet_pton(AF_INET, settings_.group.c_str(), &to.sin_addr);
    for (const Interface& interface : interfaces_) {
        ip_mreqn via{};
        via.imr_address.s_addr = interface.address;
        via.imr_ifindex = interface.index;
        if (setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0)
            continue;
        std::string address = AddressText(interface.address);
        for (const DiscoveryDevice& device : settings_.devices) {
            std::string message =
                hello ? BuildHello(device,
                                   device.fixedAddress.empty() ? address : device.fixedAddress,
                                   NextMessageId(), instanceId_, ++messageNumber_)
                      : BuildBye(device, NextMessageId(), instanceId_, ++messageNumber_);
            if (::sendto(socket_.get(), message.data(), message.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
                DiscoveryLog().Write(&kSendFailed, "k47ptz-host: discovery: cannot send on " +
                                                       interface.name + ": " +
                                                       std::strerror(errno));
        }
    }
}

void WsDiscovery::Run() {
    std::vector<char> buffer(kMaxProbeBytes + 1);
    for (;;) {
        pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            g_ErrorHandling.WriteLog("k47ptz-host: discovery: poll: %s\n", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        sockaddr_in from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec data{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
        if (got < 0)
            continue;  // EAGAIN, or an ICMP error of an earlier answer: nothing to do
        uint32_t local = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                local = info.ipi_spec_dst.s_addr;
            }
        if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(got) > kMaxProbeBytes) {
            DiscoveryLog().Write(&kBadDatagram, "k47ptz-host: discovery: dropped a datagram from " +
                                                    AddressText(from.sin_addr.s_addr) +
                                                    ": larger than a probe");
            continue;
        }
        Answer(std::string_view(buffer.data(), static_cast<size_t>(got)), local, &from,
               message.msg_namelen);
    }
}

void WsDiscovery::Answer(std::string_view datagram, uint32_t local, const void* from,
                         unsigned fromLength) {
    std::string why;
    std::optional<ProbeRequest> probe = ParseProbe(datagram, &why);
    const sockaddr_in* source = static_cast<const sockaddr_in*>(from);
    if (!probe) {
        if (!why.empty())
            DiscoveryLog().Write(&kBadDatagram, "k47ptz-host: discovery: dropped a datagram from " +
                                                    AddressText(source->sin_addr.s_addr) + ": " +
                                                    why);
        return;
    }
    // WS-Discovery's random delay before a multicast answer is left out: the answers are
    // unicast and few (one per camera), and clients wait a few seconds for them anyway.
    std::string address = AddressText(local);
    for (const DiscoveryDevice& device : settings_.devices) {
        if (!ProbeMatches(*probe, device))
            continue;
        std::string answer = BuildProbeMatches(
            *probe, device, device.fixedAddress.empty() ? address : device.fixedAddress,
            NextMessageId(), instanceId_, ++messageNumber_);
        if (::sendto(socket_.get(), answer.data(), answer.size(), 0,
                     static_cast<const sockaddr*>(from), fromLength) < 0)
            DiscoveryLog().Write(&kSendFailed, "k47ptz-host: discovery: cannot answer " +
                                                   AddressText(source->sin_addr.s_addr) + ": " +
                                                   std::strerror(errno));
    }
}

}  // namespace k47host::onvif
