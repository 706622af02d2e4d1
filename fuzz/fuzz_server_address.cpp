// Fuzzes the remote client's server address and the HTTP client's URLs: the address is parsed and
// composed into an endpoint URL as Connect does, the endpoint is escaped (socket transport) or
// cracked and rebuilt (HTTPS transport), and redirect locations are resolved one after another
// against the current URL. Every URL that cracks must rebuild into a text that cracks into the
// same parts and rebuilds into the same text again; escaping is idempotent; a relative location
// keeps the scheme, host and port of the URL it is resolved against.
//
// Input: the server address (or a URL) up to the first line feed, then one "Location" value a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "clients/ServerAddress.h"
#include "webservice/HttpUrl.h"

namespace {

using k47::http::CUrl;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool SameParts(const CUrl& a, const CUrl& b) {
    return a.GetSchemeName() == b.GetSchemeName() && a.GetUserName() == b.GetUserName() &&
           a.GetPassword() == b.GetPassword() && a.GetHostName() == b.GetHostName() &&
           a.GetPortNumber() == b.GetPortNumber() && a.HasExplicitPort() == b.HasExplicitPort() &&
           a.GetUrlPath() == b.GetUrlPath() && a.GetExtraInfo() == b.GetExtraInfo();
}

// crack -> rebuild -> crack gives the same parts, and the second rebuild the same text.
void CheckRoundTrip(const CUrl& url) {
    std::string text;
    if (!url.CreateUrl(&text))
        return;  // longer than a rebuilt URL may be
    CUrl again;
    Check(again.CrackUrl(text));
    Check(SameParts(url, again));
    std::string second;
    Check(again.CreateUrl(&second));
    Check(second == text);
}

void CheckText(std::string_view text) {
    CUrl url;
    if (url.CrackUrl(text))
        CheckRoundTrip(url);
    else
        Check(SameParts(url, CUrl()));  // a refused text leaves the initial value

    std::string escaped;
    if (k47::http::EscapeUrl(text, &escaped)) {
        Check(escaped.size() <= k47::http::kMaxEscapedUrlLength);
        std::string twice;
        Check(k47::http::EscapeUrl(escaped, &twice));
        Check(twice == escaped);
        CUrl cracked;
        if (cracked.CrackUrl(escaped))
            CheckRoundTrip(cracked);
    }
}

bool HasScheme(std::string_view location) {
    size_t sep = location.find("://");
    size_t slash = location.find('/');
    return sep != std::string_view::npos && sep > 0 &&
           (slash == std::string_view::npos || sep < slash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t end = input.find('\n');
    std::string_view address = input.substr(0, end);
    std::string_view locations =
        end == std::string_view::npos ? std::string_view() : input.substr(end + 1);

    // As the remote client's Connect: the endpoint always ends in the service path.
    static constexpr std::string_view kEndpointPath = "VLTControl/VLTControl.asmx";
    K47ServerAddress parsed = K47ServerAddress::Parse(address);
    std::string endpoint = parsed.Compose(kEndpointPath);
    Check(endpoint.starts_with(parsed.scheme + "://" + parsed.host));
    Check(endpoint.ends_with("/" + std::string(kEndpointPath)));
    CheckText(endpoint);
    CheckText(address);

    CUrl current;
    if (!current.CrackUrl(endpoint) && !current.CrackUrl(address))
        return 0;
    while (!locations.empty()) {
        end = locations.find('\n');
        std::string_view location = locations.substr(0, end);
        locations = end == std::string_view::npos ? std::string_view() : locations.substr(end + 1);
        CUrl next;
        if (!current.ResolveLocation(location, &next))
            continue;
        if (!HasScheme(location)) {
            Check(next.GetSchemeName() == current.GetSchemeName());
            if (!location.starts_with("//")) {
                Check(next.GetHostName() == current.GetHostName());
                Check(next.GetPortNumber() == current.GetPortNumber());
                Check(next.HasExplicitPort() == current.HasExplicitPort());
            }
        }
        CheckRoundTrip(next);
        current = next;
    }
    return 0;
}
