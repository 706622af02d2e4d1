// The control-service proxy: IVLTControl, the abstract class (a SOAP response handler) that
// declares the service's 58 operations in their slot order after the slot that starts a call,
// and CVLTControlT<TClient>, the proxy over a transport (CK47SoapSocketClientT<ZEvtSyncSocket2>
// or CSoapMSXMLInetClientNoCertError). Four operations are built: StartRemoteSessionPTZ,
// PtzCommand, PtzMenuCommand and PtzQueryFunctions. The other 54 are not part of this system:
// they are declared without parameters and return E_NOTIMPL without touching the transport.
//
// One call: null out pointer -> E_POINTER; SAX reader made on first use (error state 1); transport
// reset for the call; parse state set up (2); envelope written (3); sent with
// "SOAPAction: \"<namespace>/<operation>\"\r\n" (the transport sets 4 to 9); response parsed (10);
// outputs copied to the caller only on success; parse state released and the block zeroed.
//
// Not thread-safe: one call at a time per proxy. The proxy owns its SAX reader; it is deleted
// through IVLTControl (virtual destructor).
#pragma once

#include <windows.h>
#include <msxml6.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "webservice/SoapClientError.h"
#include "webservice/SoapMap.h"
#include "webservice/SoapRootHandler.h"
#include "webservice/VLTControlNamespace.h"

// Parameter blocks of the four operations (the descriptor tables give their layout).
struct VLTControl_StartRemoteSessionPTZ_params {
    BSTR name;
    unsigned int ipv4addr;
    unsigned short port;
};
struct VLTControl_PtzCommand_params {
    BSTR name;
    int cmd;
    int arg;
};
struct VLTControl_PtzMenuCommand_params {
    BSTR name;
    int cmd;
};
struct VLTControl_PtzQueryFunctions_params {
    BSTR name;
    unsigned int func;
    unsigned int presetCount;
};

extern const SoapFunctionMap kVLTControl_StartRemoteSessionPTZ_map;
extern const SoapFunctionMap kVLTControl_PtzCommand_map;
extern const SoapFunctionMap kVLTControl_PtzMenuCommand_map;
extern const SoapFunctionMap kVLTControl_PtzQueryFunctions_map;
// The header maps: one per operation, all without entries.
const SoapFunctionMap* VLTControlHeaderMap(const SoapFunctionMap* operation);

class IVLTControl : public CSoapRootHandler {
  public:
    ~IVLTControl() override = default;

    // Starts a call: hands over to the transport's ResetForCall.
    virtual HRESULT BeginCall() = 0;
    virtual HRESULT ProtectArchive() = 0;
    virtual HRESULT GetMinMaxTimesProtected() = 0;
    virtual HRESULT IsArchiveProtected() = 0;
    virtual HRESULT GetStorageStatus() = 0;
    virtual HRESULT GetAnalogBoardsInfo() = 0;
    virtual HRESULT ProtectSequenceEx() = 0;
    virtual HRESULT GetSequenceList() = 0;
    virtual HRESULT GetValidVariableName() = 0;
    virtual HRESULT GetSourceNameFromDisplayName() = 0;
    virtual HRESULT SetOutputState() = 0;
    virtual HRESULT GetMinMaxTimesCurrent() = 0;
    virtual HRESULT GetSourceList2() = 0;
    virtual HRESULT GetSourceList3() = 0;
    virtual HRESULT GetSourceList4() = 0;
    virtual HRESULT GetOutputList() = 0;
    virtual HRESULT PtzCommand(BSTR name, int cmd, int arg) = 0;
    virtual HRESULT UnprotectSequenceByTime() = 0;
    virtual HRESULT AddToLogByNameNoParams() = 0;
    virtual HRESULT FindSource() = 0;
    virtual HRESULT AddToLog() = 0;
    virtual HRESULT CreateAnalyticSearch() = 0;
    virtual HRESULT AddSource() = 0;
    virtual HRESULT StartSessionWithMediaType() = 0;
    virtual HRESULT Ping() = 0;
    virtual HRESULT CancelAndCloseAnalyticSearch() = 0;
    virtual HRESULT EndSession() = 0;
    virtual HRESULT UnprotectSequenceByName() = 0;
    virtual HRESULT GetSourceStatistics() = 0;
    virtual HRESULT GetVariableValue() = 0;
    virtual HRESULT RemoveSource() = 0;
    virtual HRESULT ArchivePicture() = 0;
    virtual HRESULT SetVariableValue() = 0;
    virtual HRESULT GetSequence() = 0;
    virtual HRESULT GetMinMaxTimesFilled() = 0;
    virtual HRESULT StartRemoteSessionPTZ(BSTR name, unsigned int* ipv4addr,
                                          unsigned short* port) = 0;
    virtual HRESULT GetInputList() = 0;
    virtual HRESULT ProtectSequence() = 0;
    virtual HRESULT GetInputState() = 0;
    virtual HRESULT AddToLogNoParams() = 0;
    virtual HRESULT GetSequenceList2() = 0;
    virtual HRESULT FindSourceWithMediaType() = 0;
    virtual HRESULT GetJpegReferenceImage() = 0;
    virtual HRESULT StartSession() = 0;
    virtual HRESULT GetOutputState() = 0;
    virtual HRESULT ReconfigureSource() = 0;
    virtual HRESULT GetRecordSegments() = 0;
    virtual HRESULT GetProtectedSequenceList() = 0;
    virtual HRESULT GrabReferenceImage() = 0;
    virtual HRESULT GetSourceDisplayNameFromName() = 0;
    virtual HRESULT GetProtectedFreeSpace() = 0;
    virtual HRESULT AddToLogByName() = 0;
    virtual HRESULT GetSourceStatisticsByName() = 0;
    virtual HRESULT QuerySourceConfig() = 0;
    virtual HRESULT GetStorageList() = 0;
    virtual HRESULT GetProtocol() = 0;
    virtual HRESULT DeleteReferenceImage() = 0;
    virtual HRESULT PtzQueryFunctions(BSTR name, unsigned int* func, unsigned int* presetCount) = 0;
    virtual HRESULT PtzMenuCommand(BSTR name, int cmd) = 0;
    // Where the last call failed (SOAPCLIENT_ERROR).
    virtual SOAPCLIENT_ERROR GetLastClientError() const = 0;
    // The fault string of the last call's SOAP fault; empty when the call ended without one.
    virtual std::u16string GetLastFaultString() const = 0;
};

template <class TClient>
class CVLTControlT : public TClient, public IVLTControl {
  public:
    explicit CVLTControlT(LPCSTR url, ISAXXMLReader* reader = nullptr)
        : TClient(url), m_reader(reader) {}
    ~CVLTControlT() override {
        if (m_reader)
            m_reader->putContentHandler(nullptr);
    }

    HRESULT BeginCall() override {
        TClient::ResetForCall();
        return S_OK;
    }
    HRESULT ProtectArchive() override { return E_NOTIMPL; }
    HRESULT GetMinMaxTimesProtected() override { return E_NOTIMPL; }
    HRESULT IsArchiveProtected() override { return E_NOTIMPL; }
    HRESULT GetStorageStatus() override { return E_NOTIMPL; }
    HRESULT GetAnalogBoardsInfo() override { return E_NOTIMPL; }
    HRESULT ProtectSequenceEx() override { return E_NOTIMPL; }
    HRESULT GetSequenceList() override { return E_NOTIMPL; }
    HRESULT GetValidVariableName() override { return E_NOTIMPL; }
    HRESULT GetSourceNameFromDisplayName() override { return E_NOTIMPL; }
    HRESULT SetOutputState() override { return E_NOTIMPL; }
    HRESULT GetMinMaxTimesCurrent() override { return E_NOTIMPL; }
    HRESULT GetSourceList2() override { return E_NOTIMPL; }
    HRESULT GetSourceList3() override { return E_NOTIMPL; }
    HRESULT GetSourceList4() override { return E_NOTIMPL; }
    HRESULT GetOutputList() override { return E_NOTIMPL; }
    HRESULT PtzCommand(BSTR name, int cmd, int arg) override;
    HRESULT UnprotectSequenceByTime() override { return E_NOTIMPL; }
    HRESULT AddToLogByNameNoParams() override { return E_NOTIMPL; }
    HRESULT FindSource() override { return E_NOTIMPL; }
    HRESULT AddToLog() override { return E_NOTIMPL; }
    HRESULT CreateAnalyticSearch() override { return E_NOTIMPL; }
    HRESULT AddSource() override { return E_NOTIMPL; }
    HRESULT StartSessionWithMediaType() override { return E_NOTIMPL; }
    HRESULT Ping() override { return E_NOTIMPL; }
    HRESULT CancelAndCloseAnalyticSearch() override { return E_NOTIMPL; }
    HRESULT EndSession() override { return E_NOTIMPL; }
    HRESULT UnprotectSequenceByName() override { return E_NOTIMPL; }
    HRESULT GetSourceStatistics() override { return E_NOTIMPL; }
    HRESULT GetVariableValue() override { return E_NOTIMPL; }
    HRESULT RemoveSource() override { return E_NOTIMPL; }
    HRESULT ArchivePicture() override { return E_NOTIMPL; }
    HRESULT SetVariableValue() override { return E_NOTIMPL; }
    HRESULT GetSequence() override { return E_NOTIMPL; }
    HRESULT GetMinMaxTimesFilled() override { return E_NOTIMPL; }
    HRESULT StartRemoteSessionPTZ(BSTR name, unsigned int* ipv4addr, unsigned short* port) override;
    HRESULT GetInputList() override { return E_NOTIMPL; }
    HRESULT ProtectSequence() override { return E_NOTIMPL; }
    HRESULT GetInputState() override { return E_NOTIMPL; }
    HRESULT AddToLogNoParams() override { return E_NOTIMPL; }
    HRESULT GetSequenceList2() override { return E_NOTIMPL; }
    HRESULT FindSourceWithMediaType() override { return E_NOTIMPL; }
    HRESULT GetJpegReferenceImage() override { return E_NOTIMPL; }
    HRESULT StartSession() override { return E_NOTIMPL; }
    HRESULT GetOutputState() override { return E_NOTIMPL; }
    HRESULT ReconfigureSource() override { return E_NOTIMPL; }
    HRESULT GetRecordSegments() override { return E_NOTIMPL; }
    HRESULT GetProtectedSequenceList() override { return E_NOTIMPL; }
    HRESULT GrabReferenceImage() override { return E_NOTIMPL; }
    HRESULT GetSourceDisplayNameFromName() override { return E_NOTIMPL; }
    HRESULT GetProtectedFreeSpace() override { return E_NOTIMPL; }
    HRESULT AddToLogByName() override { return E_NOTIMPL; }
    HRESULT GetSourceStatisticsByName() override { return E_NOTIMPL; }
    HRESULT QuerySourceConfig() override { return E_NOTIMPL; }
    HRESULT GetStorageList() override { return E_NOTIMPL; }
    HRESULT GetProtocol() override { return E_NOTIMPL; }
    HRESULT DeleteReferenceImage() override { return E_NOTIMPL; }
    HRESULT PtzQueryFunctions(BSTR name, unsigned int* func, unsigned int* presetCount) override;
    HRESULT PtzMenuCommand(BSTR name, int cmd) override;
    SOAPCLIENT_ERROR GetLastClientError() const override { return TClient::GetClientError(); }
    std::u16string GetLastFaultString() const override {
        return TClient::GetFault().m_strFaultString;
    }

    const SoapFunctionMap* GetFunctionMap() override { return m_map; }
    const SoapFunctionMap* GetHeaderMap() override { return VLTControlHeaderMap(m_map); }
    const char* GetNamespaceUriA() override { return k47::vlt::kServiceNamespace; }
    const char16_t* GetNamespaceUri() override { return k47::vlt::kServiceNamespaceW; }
    void* GetParamBlock() override { return m_block; }

  private:
    // Steps 2 to 10 of a call; the block holds the inputs and receives the outputs.
    HRESULT Call(const SoapFunctionMap& map, void* block);
    void ClearOutputs(const SoapFunctionMap& map, void* block);

    Microsoft::WRL::ComPtr<ISAXXMLReader> m_reader;
    const SoapFunctionMap* m_map = nullptr;
    void* m_block = nullptr;
};

template <class TClient>
void CVLTControlT<TClient>::ClearOutputs(const SoapFunctionMap& map, void* block) {
    for (const SoapMapEntry& entry : map.params) {
        if ((entry.flags & SOAPFLAG_OUT) == 0)
            continue;
        auto* field = static_cast<unsigned char*>(block) + entry.offset;
        switch (entry.type) {
            case SoapXsdType::Int:
                *reinterpret_cast<int*>(field) = 0;
                break;
            case SoapXsdType::UnsignedInt:
                *reinterpret_cast<unsigned int*>(field) = 0;
                break;
            case SoapXsdType::UnsignedShort:
                *reinterpret_cast<unsigned short*>(field) = 0;
                break;
            case SoapXsdType::String:
                break;
        }
    }
}

template <class TClient>
HRESULT CVLTControlT<TClient>::Call(const SoapFunctionMap& map, void* block) {
    HRESULT hr = S_OK;
    if (!m_reader) {
        hr = TClient::CreateXmlReader(m_reader.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            TClient::SetClientError(SOAPCLIENT_INITIALIZE_ERROR);
            return hr;
        }
    }
    hr = m_reader->putContentHandler(static_cast<ISAXContentHandler*>(this));
    if (FAILED(hr)) {
        TClient::SetClientError(SOAPCLIENT_INITIALIZE_ERROR);
        return hr;
    }
    BeginCall();

    struct Release {
        CVLTControlT* self;
        ~Release() {
            self->UninitializeSOAP();
            self->m_map = nullptr;
            self->m_block = nullptr;
        }
    } release{this};

    hr = BeginParse(&map, block);
    if (FAILED(hr)) {
        TClient::SetClientError(SOAPCLIENT_OUTOFMEMORY);
        return hr;
    }
    m_map = &map;
    m_block = block;
    hr = GenerateRequest(TClient::GetWriteStream());
    if (FAILED(hr)) {
        TClient::SetClientError(SOAPCLIENT_GENERATE_ERROR);
        return hr;
    }
    std::string action;
    try {
        action =
            std::string("SOAPAction: \"") + k47::vlt::kServiceNamespace + "/" + map.name + "\"\r\n";
    } catch (...) {
        TClient::SetClientError(SOAPCLIENT_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    hr = TClient::SendEnvelope(action.c_str());
    if (FAILED(hr))
        return hr;

    Microsoft::WRL::ComPtr<IUnknown> stream;
    hr = TClient::GetResponseStream(stream.GetAddressOf());
    if (FAILED(hr)) {
        TClient::SetClientError(SOAPCLIENT_READ_ERROR);
        return hr;
    }
    ClearOutputs(map, block);
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = stream.Get();
    hr = m_reader->parse(input);
    if (FAILED(hr)) {
        ClearOutputs(map, block);
        TClient::SetClientError(SOAPCLIENT_PARSE_ERROR);
    }
    return hr;
}

template <class TClient>
HRESULT CVLTControlT<TClient>::StartRemoteSessionPTZ(BSTR name, unsigned int* ipv4addr,
                                                     unsigned short* port) {
    if (ipv4addr == nullptr || port == nullptr)
        return E_POINTER;
    VLTControl_StartRemoteSessionPTZ_params params{};
    params.name = name;
    HRESULT hr = Call(kVLTControl_StartRemoteSessionPTZ_map, &params);
    if (SUCCEEDED(hr)) {
        *ipv4addr = params.ipv4addr;
        *port = params.port;
    }
    std::memset(&params, 0, sizeof params);
    return hr;
}

template <class TClient>
HRESULT CVLTControlT<TClient>::PtzCommand(BSTR name, int cmd, int arg) {
    VLTControl_PtzCommand_params params{name, cmd, arg};
    HRESULT hr = Call(kVLTControl_PtzCommand_map, &params);
    std::memset(&params, 0, sizeof params);
    return hr;
}

template <class TClient>
HRESULT CVLTControlT<TClient>::PtzMenuCommand(BSTR name, int cmd) {
    VLTControl_PtzMenuCommand_params params{name, cmd};
    HRESULT hr = Call(kVLTControl_PtzMenuCommand_map, &params);
    std::memset(&params, 0, sizeof params);
    return hr;
}

template <class TClient>
HRESULT CVLTControlT<TClient>::PtzQueryFunctions(BSTR name, unsigned int* func,
                                                 unsigned int* presetCount) {
    if (func == nullptr || presetCount == nullptr)
        return E_POINTER;
    VLTControl_PtzQueryFunctions_params params{};
    params.name = name;
    HRESULT hr = Call(kVLTControl_PtzQueryFunctions_map, &params);
    if (SUCCEEDED(hr)) {
        *func = params.func;
        *presetCount = params.presetCount;
    }
    std::memset(&params, 0, sizeof params);
    return hr;
}
