// Fuzzes what the host's HTTP layer reads from a client before any route runs: the Authorization
// header (base64 and Basic credentials), the SOAPAction header, and, from the installation file,
// the Allow list of address prefixes.
//
// Input: an Allow list up to the first line feed, then an Authorization value, then a SOAPAction
// value. Only the configured user with its password may pass; a prefix never has more bits than
// its family; the operation named by a SOAPAction is a part of the header's own text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/SoapService.h"
#include "host/http/Access.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

std::string_view NextLine(std::string_view* rest) {
    size_t end = rest->find('\n');
    std::string_view line = rest->substr(0, end);
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view allow = NextLine(&rest);
    const std::string_view authorization = NextLine(&rest);
    const std::string_view action = NextLine(&rest);

    std::vector<k47host::http::AddressPrefix> prefixes;
    std::string error;
    if (k47host::http::ParseAddressPrefixes(allow, &prefixes, &error)) {
        for (const auto& prefix : prefixes)
            Check(prefix.bits <= (prefix.v6 ? 128u : 32u));
    } else {
        Check(!error.empty());
    }

    k47host::http::AuthSettings settings;
    settings.users.push_back({"alice", "s3cret"});
    if (auto user = k47host::http::CheckBasic(settings, authorization))
        Check(*user == "alice");
    if (auto decoded = k47host::http::DecodeBase64(authorization))
        Check(decoded->size() <= authorization.size());

    const std::string_view operation = k47host::SoapActionOperation(action);
    Check(operation.empty() ||
          (operation.data() >= action.data() &&
           operation.data() + operation.size() <= action.data() + action.size()));
    return 0;
}
