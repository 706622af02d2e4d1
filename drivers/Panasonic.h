// CPanasonic, the class behind K47Panasonic: cameras speaking the Panasonic text protocol on one
// serial line. A frame is 0x02, the address prefix "ADnn;" (only once more than one camera was
// added; an address of three or more digits gives its first two), "RON:7;", the group head
// "GC" + length character + ":", groups of seven characters separated by ":", and 0x03. Moves and
// preset-type commands have two layouts chosen by "ProtocolVersion" (1: the first, three groups
// for a move and hexadecimal speeds; anything else, absent included: the second, five groups and
// decimal speeds 0..7); the picture commands and the menu have one.
//
// The frames come from the encoder in PanasonicFrame.h; this class keeps the layout and the
// camera count and writes what the encoder returns.
//
// Results: S_FALSE with nothing sent for Clear Preset and unknown commands; E_INVALIDARG with
// nothing sent for menu commands outside 0..7 and for preset arguments whose code does not fit
// two hexadecimal digits (Set Preset above 155, Go To Preset above 255). A negative code (Set
// Preset below -100, Go To Preset below 0) sends the lone end byte 0x03.
//
// Threading: as CSerialPTZ; the driver keeps nothing per camera. Frames are built outside the
// port lock and written under it. The camera count and the protocol version are atomics: AddCamera
// raises the count without the lock, and frame building reads both without it.
#pragma once

#include <atomic>
#include <span>
#include <string>

#include "drivers/PanasonicFrame.h"
#include "drivers/SerialPTZ.h"

class CPanasonic : public CSerialPTZ {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // IK47PTZProtocol
    HRESULT STDMETHODCALLTYPE AddCamera(BSTR name, IXMLDOMElement* pElement, IUnknown* pOuterUnk,
                                        IUnknown** ppCamera) override;
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                           SHORT focus, SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                             ULONG* pPresetCount) override;

  protected:
    CPanasonic() = default;
    ~CPanasonic() override = default;

    void ReadDriverConfiguration(CXMLAttribute& attributes) override;

  private:
    // The layout and the address prefix as set now (read without the lock).
    k47panasonic::LineSettings Settings() const noexcept;
    // Writes a frame the encoder made and gives the call's result: S_OK when written, S_FALSE or
    // E_INVALIDARG (nothing written) when the encoder made none.
    HRESULT Send(const k47panasonic::Encoded& encoded, int line);
    // Writes a frame under the port lock. A write failure is logged at the caller's `line` and
    // thrown on.
    void SendFrame(const BYTE* buffer, size_t length, int line);
    void SendFrame(const std::string& frame, int line) {
        SendFrame(reinterpret_cast<const BYTE*>(frame.data()), frame.size(), line);
    }

    // Fields, in order (after CSerialPTZ's).
    std::atomic<int32_t> m_protocolVersion{0};
    std::atomic<int32_t> m_cameraCount{0};
};
