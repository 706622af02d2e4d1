// Fuzz target: the SOAP response reader (CSoapRootHandler) driven by the platform SAX reader. The
// first byte chooses which operation's answer is expected; the rest is the response body.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "webservice/SoapFaultParser.h"
#include "webservice/VLTControl.h"

namespace {

union Block {
    VLTControl_StartRemoteSessionPTZ_params session;
    VLTControl_PtzCommand_params command;
    VLTControl_PtzMenuCommand_params menu;
    VLTControl_PtzQueryFunctions_params query;
};

class Reader : public CSoapRootHandler {
  public:
    const SoapFunctionMap* map = nullptr;
    Block block{};
    const SoapFunctionMap* GetFunctionMap() override { return map; }
    const SoapFunctionMap* GetHeaderMap() override { return VLTControlHeaderMap(map); }
    const char* GetNamespaceUriA() override { return k47::vlt::kServiceNamespace; }
    const char16_t* GetNamespaceUri() override { return k47::vlt::kServiceNamespaceW; }
    void* GetParamBlock() override { return &block; }
};

ISAXXMLReader* SharedReader() {
    static ISAXXMLReader* reader = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ISAXXMLReader* created = nullptr;
        K47CreateSaxReader(&created);
        return created;  // kept for the life of the process
    }();
    return reader;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || SharedReader() == nullptr)
        return 0;
    static const SoapFunctionMap* const maps[] = {
        &kVLTControl_StartRemoteSessionPTZ_map, &kVLTControl_PtzCommand_map,
        &kVLTControl_PtzMenuCommand_map, &kVLTControl_PtzQueryFunctions_map};
    Reader reader;
    reader.map = maps[data[0] % 4];
    if (FAILED(reader.BeginParse(reader.map, &reader.block)))
        return 0;
    Microsoft::WRL::ComPtr<IStream> stream;
    if (FAILED(CK47MemoryStream::Create(
            std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1),
            stream.GetAddressOf())))
        return 0;
    SharedReader()->putContentHandler(&reader);
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = stream.Get();
    SharedReader()->parse(input);
    SharedReader()->putContentHandler(nullptr);
    reader.UninitializeSOAP();
    return 0;
}
