// Fuzzes the reading of ONVIF SOAP 1.2 requests (bytes from the network): parsing never crashes,
// a refusal is a fault with a known code and a reason, a parsed request names an operation, and
// every text it returns can be written back into a response and read again unchanged; durations
// among the texts are read as a move's time-out is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <libxml/tree.h>
#include <k47/xmldoc.h>

#include "host/onvif/OnvifSettings.h"
#include "host/onvif/OnvifSoap.h"

namespace {

using namespace k47host::onvif;

// The texts of the elements inside the Body's first element, in order.
std::vector<std::string> EchoedTexts(const k47::XmlDocument& document) {
    std::vector<std::string> texts;
    xmlNode* body = document.DocumentElement()->children;
    if (body == nullptr || body->children == nullptr)
        std::abort();
    for (xmlNode* node = body->children->children; node != nullptr; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            texts.push_back(document.Text(node));
    return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    OnvifFault fault;
    std::optional<OnvifRequest> request = ParseOnvifRequest(body, &fault);
    if (!request) {
        if ((fault.code != "env:Sender" && fault.code != "env:VersionMismatch") ||
            fault.reason.empty())
            std::abort();
        if (!k47::XmlDocument::LoadString(BuildOnvifFault(fault)))
            std::abort();
        return 0;
    }
    if (request->operation.empty() || request->service.empty())
        std::abort();
    std::vector<std::string> sent{request->operation, request->service};
    for (const auto& [path, value] : request->Values()) {
        sent.push_back(path);
        sent.push_back(value);
        // Durations (a move's Timeout) come from the same bytes: a parsed one is never negative
        // and survives a round trip through its written form.
        if (auto duration = ParseXsDuration(value)) {
            if (duration->count() < 0 || ParseXsDuration(FormatXsDuration(*duration)) != duration)
                std::abort();
        }
    }
    if (request->token) {
        sent.push_back(request->token->username);
        sent.push_back(request->token->password);
        sent.push_back(request->token->created);
    }
    std::string inner;
    for (const std::string& text : sent)
        inner += OnvifTextElement("tt:Text", text);
    k47::XmlDocument answer =
        k47::XmlDocument::LoadString(BuildOnvifResponse("tds:EchoResponse", inner));
    if (!answer || EchoedTexts(answer) != sent)
        std::abort();
    return 0;
}
