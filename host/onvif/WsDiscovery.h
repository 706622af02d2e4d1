// WS-Discovery (2005/04, SOAP 1.2 over UDP) for the ONVIF devices the host publishes: answers
// Probes for ONVIF network video transmitters, one ProbeMatches datagram per matching device,
// and announces the devices with Hello when starting and Bye when stopping.
//
// Datagrams are untrusted: they go through the hardened XML loader with a size cap, and a bad
// one is logged (throttled) and dropped. Multicasts go out with TTL 1: discovery is link-local.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "k47/unique_fd.h"

namespace k47host::onvif {

inline constexpr uint16_t kDiscoveryPort = 3702;
inline constexpr char kDiscoveryGroup[] = "239.255.255.250";
inline constexpr char kAddressingNamespace[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr char kDiscoveryNamespace[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
inline constexpr char kNetworkNamespace[] = "http://www.onvif.org/ver10/network/wsdl";
// Probes are a few hundred bytes; larger datagrams are dropped unparsed.
inline constexpr size_t kMaxProbeBytes = 16 * 1024;

struct DiscoveryDevice {
    std::string endpoint;  // "urn:uuid:..." stable per camera (see DeviceUuid)
    uint16_t port = 0;     // its ONVIF HTTP port
    std::string path = "/onvif/device_service";
    std::vector<std::string> scopes;  // e.g. "onvif://www.onvif.org/name/Lobby" (URI-escaped)
    std::string fixedAddress;         // the bridge's Listen address when it is one address; empty:
                                      // answer with the address the probe arrived on
};

// A name-based UUID (RFC 4122 version 5, SHA-1, in a fixed namespace of ours) of `name`, so that
// a camera keeps its endpoint across restarts: "urn:uuid:xxxxxxxx-xxxx-5xxx-yxxx-xxxxxxxxxxxx".
std::string DeviceUuid(std::string_view name);

struct WsDiscoverySettings {
    std::string listenAddress = "0.0.0.0";  // IPv4; 0.0.0.0: every multicast interface
    uint16_t port = kDiscoveryPort;
    std::string group = kDiscoveryGroup;
    std::vector<DiscoveryDevice> devices;
};

class WsDiscovery {
  public:
    explicit WsDiscovery(WsDiscoverySettings settings);
    ~WsDiscovery();
    WsDiscovery(const WsDiscovery&) = delete;
    WsDiscovery& operator=(const WsDiscovery&) = delete;

    // Binds the port (SO_REUSEADDR), joins the group on every up, multicast IPv4 interface (or
    // the listen address's), starts the thread and multicasts a Hello per device. False with
    // *error when the socket cannot be set up; an interface that cannot join is only logged.
    bool Start(std::string* error);
    // Multicasts a Bye per device and ends the thread; idempotent.
    void Stop();

  private:
    struct Interface {
        int index = 0;
        uint32_t address = 0;  // network order
        std::string name;
    };
    void Run();
    void Answer(std::string_view datagram, uint32_t local, const void* from, unsigned fromLength);
    void Announce(bool hello);
    std::string NextMessageId();

    const WsDiscoverySettings settings_;
    k47::UniqueFd socket_;
    k47::UniqueFd wake_;  // eventfd: written by Stop to end the thread's poll
    std::vector<Interface> interfaces_;
    std::thread thread_;
    uint64_t instanceId_ = 0;
    std::atomic<uint64_t> messageNumber_{0};
};

// Pure parts, for tests and the fuzz target:
struct ProbeRequest {
    std::string messageId;                                   // wsa:MessageID
    std::vector<std::pair<std::string, std::string>> types;  // (namespace URI, local name)
    std::vector<std::string> scopes;
    std::string matchBy;  // the Scopes' MatchBy, or empty
};

// Nothing for anything that is not a well-formed SOAP 1.2 WS-Discovery (2005/04) Probe (Hello,
// Bye, ProbeMatches, our own multicasts, garbage).
std::optional<ProbeRequest> ParseProbe(std::string_view datagram);
// As ParseProbe; when nothing is returned, *why says what is wrong with the datagram, or is empty
// when it is a well-formed discovery message that is simply not a Probe (nothing to log).
std::optional<ProbeRequest> ParseProbe(std::string_view datagram, std::string* why);

// Whether a device (types dn:NetworkVideoTransmitter and tds:Device; its scopes) matches: every
// requested type is one of these, and every requested scope matches one of the device's (RFC 3986
// prefix rule, the default; "strcmp0": exact; an unknown MatchBy matches nothing).
bool ProbeMatches(const ProbeRequest& probe, const DiscoveryDevice& device);

// One ProbeMatches envelope holding ONE ProbeMatch (clients read one match per datagram), with
// RelatesTo = the probe's MessageID, XAddrs "http://<address>:<port><path>", AppSequence.
std::string BuildProbeMatches(const ProbeRequest& probe, const DiscoveryDevice& device,
                              std::string_view address, std::string_view messageId,
                              uint64_t instanceId, uint64_t messageNumber);
std::string BuildHello(const DiscoveryDevice& device, std::string_view address,
                       std::string_view messageId, uint64_t instanceId, uint64_t messageNumber);
std::string BuildBye(const DiscoveryDevice& device, std::string_view messageId, uint64_t instanceId,
                     uint64_t messageNumber);

}  // namespace k47host::onvif
