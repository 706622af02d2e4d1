// The Panasonic driver: text frames in two layouts.
#include "drivers/Panasonic.h"

namespace {

using k47panasonic::Encoded;
using k47panasonic::Outcome;

}  // namespace

std::span<const K47InterfaceEntry> CPanasonic::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPanasonic, IK47PTZProtocol>(),
        K47Entry<CPanasonic, IK47ObjectConfiguration>(),
        K47Entry<CPanasonic, IK47LineStatus>(),
        K47Entry<CPanasonic, IK47LineCounters>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

void CPanasonic::ReadDriverConfiguration(CXMLAttribute& attributes) {
    m_protocolVersion.store(attributes.GetXMLAttributeInt("ProtocolVersion", 0),
                            std::memory_order_relaxed);
}

k47panasonic::LineSettings CPanasonic::Settings() const noexcept {
    k47panasonic::LineSettings line;
    line.firstLayout = m_protocolVersion.load(std::memory_order_relaxed) == 1;
    line.addressed = m_cameraCount.load(std::memory_order_relaxed) > 1;
    return line;
}

HRESULT CPanasonic::Send(const Encoded& encoded, int line) {
    switch (encoded.outcome) {
        case Outcome::kFrame:
            SendFrame(encoded.bytes, line);
            return S_OK;
        case Outcome::kInvalid:
            return E_INVALIDARG;
        default:
            return S_FALSE;
    }
}

void CPanasonic::SendFrame(const BYTE* buffer, size_t length, int line) {
    WriteFrameLocked(buffer, length, __FILE__, line);
}

// ---------------------------------------------------------------------------------------------
// IK47PTZProtocol

HRESULT STDMETHODCALLTYPE CPanasonic::AddCamera(BSTR name, IXMLDOMElement* pElement,
                                                IUnknown* pOuterUnk, IUnknown** ppCamera) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CreateCamera(name, pElement, CLSID_PTZCameraStub, pOuterUnk, ppCamera);
        m_cameraCount.fetch_add(1, std::memory_order_relaxed);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                   SHORT zoom, SHORT focus, SHORT iris) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        SendFrame(k47panasonic::Move(Settings(), address, pan, tilt, zoom, focus, iris), __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        return Send(k47panasonic::Command(Settings(), address, cmd, arg), __LINE__);
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        return Send(k47panasonic::Menu(Settings(), address, cmd), __LINE__);
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::QueryFunctions(INT_PTR /*address*/, PTZFUNCTION* pFunc,
                                                     ULONG* pPresetCount) {
    if (pFunc == nullptr || pPresetCount == nullptr)
        return E_POINTER;
    *pFunc = static_cast<PTZFUNCTION>(PTZFUNC_MENUCLOSE | PTZFUNC_MENUOPEN | PTZFUNC_MENUSELECT |
                                      PTZFUNC_MENUNAVIGATE | PTZFUNC_MENUSELECT2);
    *pPresetCount = 64;
    return S_OK;
}
