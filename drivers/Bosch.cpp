// The Bosch driver: 7-bit binary move and command frames.
#include "drivers/Bosch.h"

std::span<const K47InterfaceEntry> CBosch::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CBosch, IK47PTZProtocol>(),
        K47Entry<CBosch, IK47ObjectConfiguration>(),
        K47Entry<CBosch, IK47LineStatus>(),
        K47Entry<CBosch, IK47LineCounters>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

void CBosch::ReadDriverConfiguration(CXMLAttribute& /*attributes*/) {}

void CBosch::SendFrame(const k47bosch::Frame& frame, int line) {
    WriteFrameLocked(frame.data(), frame.size, __FILE__, line);
}

// ---------------------------------------------------------------------------------------------
// IK47PTZProtocol

HRESULT STDMETHODCALLTYPE CBosch::AddCamera(BSTR name, IXMLDOMElement* pElement,
                                            IUnknown* pOuterUnk, IUnknown** ppCamera) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CreateCamera(name, pElement, CLSID_PTZCameraStub, pOuterUnk, ppCamera);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CBosch::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                               SHORT focus, SHORT iris) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        SendFrame(k47bosch::Move(address, pan, tilt, zoom, focus, iris), __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CBosch::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        std::optional<k47bosch::Frame> frame = k47bosch::Command(address, cmd, arg);
        if (!frame)
            return S_FALSE;  // Clear Preset and anything else: the protocol has no frame
        SendFrame(*frame, __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CBosch::MenuCommand(INT_PTR /*address*/, PTZMENUCOMMAND /*cmd*/) {
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE CBosch::QueryFunctions(INT_PTR /*address*/, PTZFUNCTION* pFunc,
                                                 ULONG* pPresetCount) {
    if (pFunc == nullptr || pPresetCount == nullptr)
        return E_POINTER;
    *pFunc = static_cast<PTZFUNCTION>(0);
    *pPresetCount = 1023;
    return S_OK;
}
