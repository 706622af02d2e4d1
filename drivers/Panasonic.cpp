// The Panasonic driver: text frames in two layouts.
#include "drivers/Panasonic.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kStart = 0x02;
constexpr char kEnd = 0x03;
constexpr char kHexDigits[] = "0123456789ABCDEF";

int Magnitude(SHORT value) {
    return std::abs(static_cast<int>(value));
}
int Sign(SHORT value) {
    return (value > 0) - (value < 0);
}

// The number of data characters, as one character: 0..9, then A..Z and on.
char LengthCharacter(int groups) {
    int n = groups * 7 + (groups - 1);
    return static_cast<char>(n < 10 ? 0x30 + n : 0x37 + n);
}

// First layout, pan and tilt: one hexadecimal digit 0..F.
char HexSpeed(SHORT value) {
    return kHexDigits[(Magnitude(value) * 15 / 100) & 0x0F];
}
// Second layout, pan, tilt, zoom and focus: a digit 0..7.
char DecimalSpeed(SHORT value) {
    return static_cast<char>('0' + ((Magnitude(value) * 7 / 100) & 7));
}
// First layout, zoom and focus: the direction value plus a speed 0..3 as one hexadecimal digit.
char LensDigit(int direction, SHORT value) {
    return kHexDigits[direction | ((Magnitude(value) * 3 / 100) & 3)];
}
char ZoomLensDigit(SHORT zoom) {
    return LensDigit(zoom > 0 ? 0 : zoom < 0 ? 4 : 8, zoom);
}
char FocusLensDigit(SHORT focus) {
    return LensDigit(focus > 0 ? 4 : focus < 0 ? 0 : 8, focus);
}

// Pan/tilt direction; the stop differs between the layouts.
char PanTiltCharacter(SHORT pan, SHORT tilt, bool firstLayout) {
    // Rows: pan > 0, pan = 0, pan < 0; columns: tilt > 0, tilt = 0, tilt < 0.
    static constexpr char kTable[3][3] = {{'B', 'C', 'D'}, {'A', '?', 'E'}, {'9', '8', 'F'}};
    int row = 1 - Sign(pan);
    int column = 1 - Sign(tilt);
    if (row == 1 && column == 1)
        return firstLayout ? '1' : '4';
    return kTable[row][column];
}

// Second layout, zoom/focus direction.
char ZoomFocusCharacter(SHORT zoom, SHORT focus) {
    // Rows: zoom > 0, zoom = 0, zoom < 0; columns: focus > 0, focus = 0, focus < 0.
    static constexpr char kTable[3][3] = {{'9', '8', 'F'}, {'A', '4', 'E'}, {'B', 'C', 'D'}};
    return kTable[1 - Sign(zoom)][1 - Sign(focus)];
}

char IrisCharacter(SHORT iris) {
    return iris > 0 ? '2' : iris < 0 ? '3' : '4';
}

std::string Hex2(int code) {
    return {kHexDigits[(code >> 4) & 0x0F], kHexDigits[code & 0x0F]};
}

}  // namespace

std::span<const K47InterfaceEntry> CPanasonic::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPanasonic, IK47PTZProtocol>(),
        K47Entry<CPanasonic, IK47ObjectConfiguration>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

void CPanasonic::ReadDriverConfiguration(CXMLAttribute& attributes) {
    m_protocolVersion.store(attributes.GetXMLAttributeInt("ProtocolVersion", 0),
                            std::memory_order_relaxed);
}

std::string CPanasonic::BuildHeader(INT_PTR address, int groups) const {
    std::string header(1, kStart);
    if (m_cameraCount.load(std::memory_order_relaxed) > 1) {
        char digits[32];
        std::snprintf(digits, sizeof(digits), "%02lld", static_cast<long long>(address));
        header += "AD";
        header.append(digits, 2);  // a longer address keeps its first two characters
        header += ';';
    }
    header += "RON:7;GC";
    header += LengthCharacter(groups);
    header += ':';
    return header;
}

std::string CPanasonic::BuildFrame(INT_PTR address,
                                   std::initializer_list<std::string> groups) const {
    std::string frame = BuildHeader(address, static_cast<int>(groups.size()));
    bool first = true;
    for (const std::string& group : groups) {
        if (!first)
            frame += ':';
        frame += group;
        first = false;
    }
    frame += kEnd;
    return frame;
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
        std::string frame;
        if (FirstLayout()) {
            frame = BuildFrame(address, {std::string{'9', '0', '2', ZoomLensDigit(zoom),
                                                     PanTiltCharacter(pan, tilt, true),
                                                     HexSpeed(pan), HexSpeed(tilt)},
                                         std::string("903400") + FocusLensDigit(focus),
                                         std::string("002100") + IrisCharacter(iris)});
        } else {
            frame = BuildFrame(
                address,
                {std::string("202136") + PanTiltCharacter(pan, tilt, false),
                 std::string{'2', '0', '2', '2', DecimalSpeed(pan), DecimalSpeed(tilt), '0'},
                 std::string("202126") + ZoomFocusCharacter(zoom, focus),
                 std::string{'2', '0', '2', '2', DecimalSpeed(zoom), DecimalSpeed(focus), '0'},
                 std::string("002100") + IrisCharacter(iris)});
        }
        SendFrame(frame, __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        // Preset-type commands carry a one-byte code; the picture commands a fixed group.
        INT_PTR code = 0;
        const char* group = nullptr;
        switch (cmd) {
            case PTZCMD_SETPRESET:
                if (arg > 155)
                    return E_INVALIDARG;  // code above 255
                code = arg < -100 ? -1 : arg + 100;
                break;
            case PTZCMD_GOTOPRESET:
                if (arg > 255)
                    return E_INVALIDARG;
                code = arg;
                break;
            case PTZCMD_AUTOFOCUS:
                code = arg == 0 ? 0x57 : arg == 1 ? 0x56 : 0x55;
                break;
            case PTZCMD_AUTOAGC:
                code = (arg == 0 || arg == 1) ? 0xAE : 0xAF;
                break;
            case PTZCMD_AUTOIRIS:
                group = (arg == 0 || arg == 1) ? "0021005" : "0021034";
                break;
            case PTZCMD_BACKLIGHT:
                group = arg == 1 ? "00212A2" : "00212A3";
                break;
            case PTZCMD_WHITEBAL:
                group = arg == 1 ? "0021042" : "0021041";
                break;
            default:
                return S_FALSE;  // Clear Preset and anything else: the protocol has no frame
        }
        if (group != nullptr) {
            SendFrame(BuildFrame(address, {group}), __LINE__);
            return S_OK;
        }
        if (code < 0) {
            // What the code frame degenerates to for a negative code: the end byte alone.
            const BYTE end = kEnd;
            SendFrame(&end, 1, __LINE__);
            return S_OK;
        }
        std::string frame;
        if (FirstLayout()) {
            frame = BuildFrame(address, {"90300" + Hex2(static_cast<int>(code))});
        } else {
            frame = BuildFrame(address, {"00219F0", "0022" + Hex2(static_cast<int>(code)) + "0"});
        }
        SendFrame(frame, __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPanasonic::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        // Indexed by PTZMENUCOMMAND: close, open, up, down, left, right, select, select2.
        static constexpr char kCharacters[] = {'1', '0', '2', '4', '5', '3', 'A', 'B'};
        auto index = static_cast<uint32_t>(cmd);
        if (index >= std::size(kCharacters))
            return E_INVALIDARG;
        SendFrame(BuildFrame(address, {std::string("002194") + kCharacters[index]}), __LINE__);
        return S_OK;
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
