// Fuzzes the host's reading of SOAP requests (bytes from the network): parsing never crashes,
// a refusal is always a Client fault with a text, and whatever is parsed can be answered and the
// answer is well-formed XML.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <k47/xmldoc.h>

#include "host/SoapService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    k47host::SoapFault fault;
    std::optional<k47host::SoapRequest> request = k47host::ParseSoapRequest(body, &fault);
    if (!request) {
        if (fault.code != "Client" || fault.text.empty())
            std::abort();
        if (!k47::XmlDocument::LoadString(k47host::BuildSoapFault(fault)))
            std::abort();
        return 0;
    }
    std::vector<k47host::SoapValue> echo;
    for (const auto& [name, value] : request->parameters) {
        int32_t number = 0;
        request->Int(name, &number);
        // Element names come from a parsed document, so they are valid XML names.
        echo.push_back({name, value.value_or("")});
    }
    if (!k47::XmlDocument::LoadString(k47host::BuildSoapResponse(request->operation, echo)))
        std::abort();
    return 0;
}
