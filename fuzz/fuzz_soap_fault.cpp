// Fuzz target: the SOAP fault reader (CSoapFaultParser) driven by the platform SAX reader, on
// the body of a status 500 answer.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "webservice/SoapFaultParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ISAXXMLReader* reader = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ISAXXMLReader* created = nullptr;
        K47CreateSaxReader(&created);
        return created;  // kept for the life of the process
    }();
    if (reader == nullptr)
        return 0;
    Microsoft::WRL::ComPtr<IStream> stream;
    if (FAILED(CK47MemoryStream::Create(std::string_view(reinterpret_cast<const char*>(data), size),
                                        stream.GetAddressOf())))
        return 0;
    CSoapFault fault;
    if (SUCCEEDED(K47ParseSoapFault(reader, stream.Get(), &fault)) &&
        fault.m_strFaultCode.empty() && fault.m_soapErrCode != SOAP_E_UNK)
        __builtin_trap();  // a code number needs a code text
    return 0;
}
