// The Bosch driver: 7-bit binary move and command frames.
#include "drivers/Bosch.h"

#include <cstdlib>

namespace {

constexpr BYTE kMoveLength = 0x87;  // 7 bytes before the checksum
constexpr BYTE kMoveOpcode = 0x05;
constexpr BYTE kCommandLength = 0x86;  // 6 bytes before the checksum
constexpr BYTE kCommandOpcode = 0x07;
constexpr size_t kMaxFrame = 8;

int Magnitude(SHORT value) {
    return std::abs(static_cast<int>(value));
}

// Length byte, address code and opcode; the caller adds data and then the checksum.
void FillHead(BYTE* frame, BYTE length, INT_PTR address, BYTE opcode) {
    // Addresses 1 to 16384 give the codes 0 to 16383, in two 7-bit halves.
    auto code = static_cast<uint16_t>(address - 1);
    frame[0] = length;
    frame[1] = static_cast<BYTE>((code >> 7) & 0x7F);
    frame[2] = static_cast<BYTE>(code & 0x7F);
    frame[3] = opcode;
}

void SetChecksum(BYTE* frame) {
    size_t n = frame[0] & 0x7F;
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += frame[i];
    frame[n] = static_cast<BYTE>(sum & 0x7F);
}

}  // namespace

std::span<const K47InterfaceEntry> CBosch::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CBosch, IK47PTZProtocol>(),
        K47Entry<CBosch, IK47ObjectConfiguration>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

void CBosch::ReadDriverConfiguration(CXMLAttribute& /*attributes*/) {}

void CBosch::SendFrame(const BYTE* frame, int line) {
    WriteFrameLocked(frame, (frame[0] & 0x7F) + 1, __FILE__, line);
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
        BYTE frame[kMaxFrame];
        FillHead(frame, kMoveLength, address, kMoveOpcode);
        // Zoom speed 0..7 in bits 4 to 6, tilt speed 0..15 in bits 0 to 3.
        frame[4] = static_cast<BYTE>((((Magnitude(zoom) * 7 / 100) & 7) << 4) |
                                     ((Magnitude(tilt) * 15 / 100) & 0x0F));
        // Pan speed 0..15 in bits 3 to 6, then iris and focus near; focus and iris have no speed.
        BYTE data5 = static_cast<BYTE>(((Magnitude(pan) * 15 / 100) & 0x0F) * 8);
        if (iris > 0)
            data5 |= 0x04;
        if (iris < 0)
            data5 |= 0x02;
        if (focus < 0)
            data5 |= 0x01;
        frame[5] = data5;
        BYTE data6 = 0;
        if (focus > 0)
            data6 |= 0x40;
        if (zoom > 0)
            data6 |= 0x20;
        if (zoom < 0)
            data6 |= 0x10;
        if (tilt > 0)
            data6 |= 0x08;
        if (tilt < 0)
            data6 |= 0x04;
        if (pan > 0)
            data6 |= 0x01;
        if (pan < 0)
            data6 |= 0x02;
        frame[6] = data6;
        SetChecksum(frame);
        SendFrame(frame, __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CBosch::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        auto preset = static_cast<BYTE>(arg & 0xFF);
        // The auto modes tell mode 2 apart from every other value.
        BYTE mode = arg == 2 ? 2 : 1;
        BYTE function = 0;
        BYTE value = 0;
        switch (cmd) {
            case PTZCMD_SETPRESET:
                function = static_cast<BYTE>(0x04 | (preset >= 0x80 ? 0x10 : 0));
                value = preset & 0x7F;
                break;
            case PTZCMD_GOTOPRESET:
                function = static_cast<BYTE>(0x05 | (preset >= 0x80 ? 0x10 : 0));
                value = preset & 0x7F;
                break;
            case PTZCMD_AUTOFOCUS:
                function = mode;
                value = 0x04;
                break;
            case PTZCMD_AUTOIRIS:
                function = mode;
                value = 0x03;
                break;
            case PTZCMD_AUTOAGC:
                function = mode;
                value = 0x2B;
                break;
            case PTZCMD_BACKLIGHT:
                function = mode;
                value = 0x14;
                break;
            case PTZCMD_WHITEBAL:
                function = mode;
                value = 0x1E;
                break;
            default:
                return S_FALSE;  // Clear Preset and anything else: the protocol has no frame
        }
        BYTE frame[kMaxFrame];
        FillHead(frame, kCommandLength, address, kCommandOpcode);
        frame[4] = function;
        frame[5] = value;
        SetChecksum(frame);
        SendFrame(frame, __LINE__);
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
