// Fuzzes the reading of WS-Discovery datagrams (anyone on the link can send them): parsing never
// crashes, a parsed probe has a MessageID, and the answer to it is one well-formed ProbeMatch
// relating to that MessageID whatever the probe's text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <libxml/tree.h>
#include <k47/xmldoc.h>

#include "host/onvif/WsDiscovery.h"

using namespace k47host::onvif;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view datagram(reinterpret_cast<const char*>(data), size);
    std::string why;
    std::optional<ProbeRequest> probe = ParseProbe(datagram, &why);
    if (!probe)
        return 0;
    if (probe->messageId.empty() || !why.empty())
        std::abort();
    DiscoveryDevice device;
    device.endpoint = DeviceUuid("fuzz");
    device.port = 8080;
    device.scopes = {"onvif://www.onvif.org/name/Fuzz", "onvif://www.onvif.org/type/ptz"};
    // The probe's own scopes as the device's: the prefix rule then matches them all.
    DiscoveryDevice echo = device;
    echo.scopes = probe->scopes;
    ProbeRequest untyped = *probe;
    untyped.types.clear();
    if ((untyped.matchBy.empty() ||
         untyped.matchBy == "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986") &&
        !ProbeMatches(untyped, echo))
        std::abort();
    (void)ProbeMatches(*probe, device);
    std::string answer = BuildProbeMatches(*probe, echo, "192.0.2.1", "urn:uuid:answer", 1, 1);
    k47::XmlDocument document = k47::XmlDocument::LoadString(answer);
    if (!document)
        std::abort();
    document.SetSelectionNamespace("a", kAddressingNamespace);
    document.SetSelectionNamespace("d", kDiscoveryNamespace);
    std::vector<xmlNode*> nodes;
    if (!document.SelectNodes("*/a:RelatesTo", &nodes) || nodes.size() != 1)
        std::abort();
    std::string relates = document.Text(nodes[0]);
    if (!document.SelectNodes("*/d:ProbeMatches/d:ProbeMatch", &nodes) || nodes.size() != 1)
        std::abort();
    // Our answer is never taken for a probe (it comes back to us through multicast loopback).
    if (ParseProbe(answer))
        std::abort();
    // Texts XML cannot carry are dropped on the way out; anything else comes back unchanged.
    bool plain = true;
    for (char c : probe->messageId)
        plain =
            plain && (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r');
    if (plain && relates != probe->messageId)
        std::abort();
    return 0;
}
