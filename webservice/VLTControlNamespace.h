// The control service's fixed names, shared by the client proxy in this folder and by the server
// side of the service (the reference host): the service namespace URI, which is at once the
// wrapper elements' default namespace and the prefix of every SOAPAction value
// ("<namespace>/<operation>"), and the endpoint path below the server address.
//
// The namespace is an http URI whose last path segment is "VLT". Changing it breaks every
// deployed peer: client and server must be built with the same value.
//
// Constants only; usable from any thread.
#pragma once

namespace k47::vlt {

// Narrow form, for HTTP headers and envelopes (pure ASCII).
inline constexpr char kServiceNamespace[] = "http://k47ptz.org/VLTControl/VLT";
// The same text as UTF-16, for SAX namespace comparisons.
inline constexpr char16_t kServiceNamespaceW[] = u"http://k47ptz.org/VLTControl/VLT";
// The endpoint path that the remote client appends to the server address.
inline constexpr char kEndpointPath[] = "VLTControl/VLTControl.asmx";

}  // namespace k47::vlt
