// CBosch, the class behind Bosch: cameras speaking the Bosch 7-bit binary protocol on one serial
// line. A frame is a length byte (0x80 OR n, n counting the bytes before the checksum, this one
// included), the camera code (address - 1 as a 16-bit value) in two 7-bit bytes, an opcode, data
// bytes below 0x80 and a checksum (the sum of bytes 0 to n - 1, AND 0x7F). Two frames are used:
// the move (length 0x87, opcode 0x05, three data bytes) and the command (0x86, 0x07, function
// and value). Presets 0..255 travel with bit 7 in the function byte.
//
// The frames come from the encoder in BoschFrame.h; this class writes what it returns.
//
// Results: S_FALSE with nothing sent for Clear Preset, for values outside PTZCOMMAND and for every
// menu command; QueryFunctions reports no optional function and 1023 presets.
//
// Threading: as CSerialPTZ. The driver has no state of its own; frames are built outside the port
// lock and written under it.
#pragma once

#include <span>

#include "drivers/BoschFrame.h"
#include "drivers/SerialPTZ.h"

class CBosch : public CSerialPTZ {
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
    CBosch() = default;
    ~CBosch() override = default;

    void ReadDriverConfiguration(CXMLAttribute& attributes) override;

  private:
    // Writes the frame under the port lock. A write failure is logged at the caller's `line` and
    // thrown on.
    void SendFrame(const k47bosch::Frame& frame, int line);
};
