// K47PTZ: the interfaces, identifiers and records of the PTZ camera component library.
//
// This is the one header hosts, clients and plug-in drivers include (with the platform's headers)
// to use the library. Every interface derives from IUnknown; its methods are listed in slot order
// after IUnknown's three, and every method returns an HRESULT. The slot order is part of the
// binary contract with hosts and plug-ins: never reorder.
//
// Type library K47PTZLib 1.0 (locale 1033) declares the five control interfaces and the three
// enumerations; IK47EventSink and the host interfaces are not in it.
#pragma once

#include <objbase.h>
#include <msxml6.h>

// ---------------------------------------------------------------------------------------------
// Enumerations. They travel as 32-bit values and values outside the named ones must pass through
// unchanged (a driver may send any command code), so each has int as its underlying type.

// Discrete commands of Command(). The values are the Pelco-D command-2 codes.
typedef enum PTZCOMMAND : int {
    PTZCMD_SETPRESET = 3,
    PTZCMD_CLEARPRESET = 5,
    PTZCMD_GOTOPRESET = 7,
    PTZCMD_AUTOFOCUS = 43,
    PTZCMD_AUTOIRIS = 45,
    PTZCMD_AUTOAGC = 47,
    PTZCMD_BACKLIGHT = 49,
    PTZCMD_WHITEBAL = 51
} PTZCOMMAND;
static_assert(sizeof(PTZCOMMAND) == 4);

// On-screen menu commands of MenuCommand().
typedef enum PTZMENUCOMMAND : int {
    PTZMENUCMD_CLOSE = 0,
    PTZMENUCMD_OPEN = 1,
    PTZMENUCMD_UP = 2,
    PTZMENUCMD_DOWN = 3,
    PTZMENUCMD_LEFT = 4,
    PTZMENUCMD_RIGHT = 5,
    PTZMENUCMD_SELECT = 6,
    PTZMENUCMD_SELECT2 = 7
} PTZMENUCOMMAND;
static_assert(sizeof(PTZMENUCOMMAND) == 4);

// What QueryFunctions() reports as supported beyond moving and presets (a set of flags).
typedef enum PTZFUNCTION : int {
    PTZFUNC_MENUCLOSE = 1,
    PTZFUNC_MENUOPEN = 2,
    PTZFUNC_MENUSELECT = 4,
    PTZFUNC_MENUNAVIGATE = 8,
    PTZFUNC_CLEARPRESET = 16,
    PTZFUNC_MENUSELECT2 = 32,
    PTZFUNC_ABSPOSITION = 64,
    PTZFUNC_ABSQUERY = 128,
    PTZFUNC_END = 2147483647
} PTZFUNCTION;
static_assert(sizeof(PTZFUNCTION) == 4);

// ---------------------------------------------------------------------------------------------
// Control interfaces (implemented by the library)

// One camera. Speeds are signed 16-bit; 0 stops an axis; a magnitude of 100 is full speed;
// MoveRelative(0, 0, 0, 0, 0) is the stop.
MIDL_INTERFACE("D6327D6E-0894-4DF5-A3D3-3688A3B10BC2")
IK47PTZCamera : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                                   SHORT iris) = 0;
    virtual HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND cmd, INT_PTR arg) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG * pIpv4Addr, USHORT * pPort) = 0;
    virtual HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND cmd) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION * pFunc, ULONG * pPresetCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR * pAddress) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndMotion() = 0;
};
__CRT_UUID_DECL(IK47PTZCamera, 0xD6327D6E, 0x0894, 0x4DF5, 0xA3, 0xD3, 0x36, 0x88, 0xA3, 0xB1, 0x0B,
                0xC2)
inline constexpr IID IID_IK47PTZCamera = K47UuidOf<IK47PTZCamera>::value;

// One protocol driver, shared by every camera on its line; cameras are told apart by address.
MIDL_INTERFACE("21143A8C-6C14-48A4-8A78-E0AB196BBF39")
IK47PTZProtocol : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE AddCamera(BSTR name, IXMLDOMElement * pElement,
                                                IUnknown * pOuterUnk, IUnknown * *ppCamera) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                   SHORT zoom, SHORT focus, SHORT iris) = 0;
    virtual HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) = 0;
    virtual HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION * pFunc,
                                                     ULONG * pPresetCount) = 0;
};
__CRT_UUID_DECL(IK47PTZProtocol, 0x21143A8C, 0x6C14, 0x48A4, 0x8A, 0x78, 0xE0, 0xAB, 0x19, 0x6B,
                0xBF, 0x39)
inline constexpr IID IID_IK47PTZProtocol = K47UuidOf<IK47PTZProtocol>::value;

// Configuration from an XML element. pInitData's meaning is fixed by each implementer.
MIDL_INTERFACE("860E1D68-12F0-4A29-9F96-9F8BAE689DFE")
IK47ObjectConfiguration : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement * pElement, IUnknown * pOwner,
                                                 ULONG_PTR pInitData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement * pElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement * pElement) = 0;
};
__CRT_UUID_DECL(IK47ObjectConfiguration, 0x860E1D68, 0x12F0, 0x4A29, 0x9F, 0x96, 0x9F, 0x8B, 0xAE,
                0x68, 0x9D, 0xFE)
inline constexpr IID IID_IK47ObjectConfiguration = K47UuidOf<IK47ObjectConfiguration>::value;

// An application's handle on one camera, local or remote.
MIDL_INTERFACE("00D8C87C-7F67-4A9E-AC1D-C330B5EC99F9")
IK47PTZClient : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Connect(BSTR address, BSTR camera) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                                   SHORT iris) = 0;
    virtual HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND cmd, INT_PTR arg) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndMotion() = 0;
    virtual HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND cmd) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION * pFunc, ULONG * pPresetCount) = 0;
};
__CRT_UUID_DECL(IK47PTZClient, 0x00D8C87C, 0x7F67, 0x4A9E, 0xAC, 0x1D, 0xC3, 0x30, 0xB5, 0xEC, 0x99,
                0xF9)
inline constexpr IID IID_IK47PTZClient = K47UuidOf<IK47PTZClient>::value;

// Orderly shutdown before the last release, while the host still runs.
MIDL_INTERFACE("06CC21DC-3909-4AE5-9067-94666FE9A459")
IK47Terminate : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Terminate(BOOL bShuttingDown) = 0;
};
__CRT_UUID_DECL(IK47Terminate, 0x06CC21DC, 0x3909, 0x4AE5, 0x90, 0x67, 0x94, 0x66, 0x6F, 0xE9, 0xA4,
                0x59)
inline constexpr IID IID_IK47Terminate = K47UuidOf<IK47Terminate>::value;

// Notification from the host's variable store (not in the type library).
MIDL_INTERFACE("4F5C1A60-762A-45FF-BCBB-F017AD250B0B")
IK47EventSink : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE OnEvent(ULONG_PTR param) = 0;
};
__CRT_UUID_DECL(IK47EventSink, 0x4F5C1A60, 0x762A, 0x45FF, 0xBC, 0xBB, 0xF0, 0x17, 0xAD, 0x25, 0x0B,
                0x0B)
inline constexpr IID IID_IK47EventSink = K47UuidOf<IK47EventSink>::value;

// ---------------------------------------------------------------------------------------------
// Host interfaces (implemented by the installation's server process; declared here so that the
// library can call them). Only the methods named below are called; the ReservedN placeholders keep
// the slot positions and are never called by the library.

// The host's directory of configured objects.
MIDL_INTERFACE("1DA4E665-07E6-431B-894E-631B83142A52")
IK47ObjectServer : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    // 8th: the object named `name`, or the one `path` selects, or the part `path` of object `name`.
    virtual HRESULT STDMETHODCALLTYPE LookupObject(BSTR name, BSTR path, IUnknown * *ppObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
    // 13th: S_OK while clients should go on.
    virtual HRESULT STDMETHODCALLTYPE StatusCheck() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;
    // 16th: a name that the camera binding passes back to LookupObject.
    virtual HRESULT STDMETHODCALLTYPE GetObjectName(BSTR name, BSTR * pResult) = 0;
};
__CRT_UUID_DECL(IK47ObjectServer, 0x1DA4E665, 0x07E6, 0x431B, 0x89, 0x4E, 0x63, 0x1B, 0x83, 0x14,
                0x2A, 0x52)
inline constexpr IID IID_IK47ObjectServer = K47UuidOf<IK47ObjectServer>::value;

// The installation's object server as a class of its own (created as a local server).
DEFINE_GUID(CLSID_K47ObjectServer, 0xDF5CD2DB, 0xD5D3, 0x4C51, 0x9B, 0x18, 0x51, 0xFF, 0xFF, 0x86,
            0x9E, 0x4F);

// One shared variable of the host; used through the pointer GetVariable returns, never queried.
MIDL_INTERFACE("7E1A3F52-6B0C-4D8E-9A41-2C5D0E8F6B13")
IK47Variable : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Advise(IK47EventSink * pSink, DWORD * pCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(VARIANT * pValue) = 0;
};
__CRT_UUID_DECL(IK47Variable, 0x7E1A3F52, 0x6B0C, 0x4D8E, 0x9A, 0x41, 0x2C, 0x5D, 0x0E, 0x8F, 0x6B,
                0x13)
inline constexpr IID IID_IK47Variable = K47UuidOf<IK47Variable>::value;

// The host's store of named shared variables.
MIDL_INTERFACE("D88FD93A-62E1-48AA-8B02-5BAD7D6E1070")
IK47VariableStore : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetVariable(BSTR name, IK47Variable * *ppVariable) = 0;
};
__CRT_UUID_DECL(IK47VariableStore, 0xD88FD93A, 0x62E1, 0x48AA, 0x8B, 0x02, 0x5B, 0xAD, 0x7D, 0x6E,
                0x10, 0x70)
inline constexpr IID IID_IK47VariableStore = K47UuidOf<IK47VariableStore>::value;

// The host's allocator of UDP ports for remote sessions; reached through a driver's init data.
// A port it hands out may still be taken by another program: the camera then asks for the next.
MIDL_INTERFACE("3B8E6D21-95C4-4F7A-B0E3-8D1F2A6C4E57")
IK47PortService : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE AllocatePort(USHORT * pPort) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleasePort(USHORT port) = 0;
    // Nonzero when the host hands out ports.
    virtual HRESULT STDMETHODCALLTYPE IsEnabled() = 0;
};
__CRT_UUID_DECL(IK47PortService, 0x3B8E6D21, 0x95C4, 0x4F7A, 0xB0, 0xE3, 0x8D, 0x1F, 0x2A, 0x6C,
                0x4E, 0x57)
inline constexpr IID IID_IK47PortService = K47UuidOf<IK47PortService>::value;

// Offered by a host's port service next to IK47PortService: the local IPv4 address (host order) on
// which cameras open their session sockets, so that datagrams are taken only where the host's
// control service is reached (127.0.0.1 when it listens on loopback). INADDR_ANY (0): every
// address. A port service without it means every address.
MIDL_INTERFACE("0D4EF6A7-BFF6-4413-BA0B-9E0E401EFEAD")
IK47SessionAddress : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetSessionAddress(ULONG * pIpv4Addr) = 0;
};
__CRT_UUID_DECL(IK47SessionAddress, 0x0D4EF6A7, 0xBFF6, 0x4413, 0xBA, 0x0B, 0x9E, 0x0E, 0x40, 0x1E,
                0xFE, 0xAD)
inline constexpr IID IID_IK47SessionAddress = K47UuidOf<IK47SessionAddress>::value;

// ---------------------------------------------------------------------------------------------
// Status (not in the type library): what a host shows about its lines and cameras. Both are read
// from a host's status pages while the cameras are steered, so neither waits for the line.

// The state of a protocol driver's line.
typedef enum K47LINESTATE : int {
    K47LINE_NONE = 0,   // no port configured: frames go nowhere
    K47LINE_UP = 1,     // the port is open and frames leave it
    K47LINE_DOWN = 2,   // the device is missing or went away; the driver tries it again
    K47LINE_STUCK = 3,  // frames do not leave within their bound
} K47LINESTATE;
static_assert(sizeof(K47LINESTATE) == 4);

// Offered by the serial protocol drivers next to IK47PTZProtocol. A driver without it (a plug-in)
// has a line of unknown state.
MIDL_INTERFACE("845B973E-AC68-4170-AB24-C4F2CC8D8A60")
IK47LineStatus : public IUnknown {
  public:
    // The state, the device path as configured (empty without port) and the text of the last
    // error the line had since it was configured (empty when none). The caller frees both BSTRs.
    virtual HRESULT STDMETHODCALLTYPE GetLineStatus(K47LINESTATE * pState, BSTR * pDevice,
                                                    BSTR * pLastError) = 0;
};
__CRT_UUID_DECL(IK47LineStatus, 0x845B973E, 0xAC68, 0x4170, 0xAB, 0x24, 0xC4, 0xF2, 0xCC, 0x8D,
                0x8A, 0x60)
inline constexpr IID IID_IK47LineStatus = K47UuidOf<IK47LineStatus>::value;

// Offered by the camera object (through the PTZCamera wrapper).
MIDL_INTERFACE("84AB784F-B80C-4763-8E8A-A36C629EEAB5")
IK47CameraStatus : public IUnknown {
  public:
    // S_OK with the IPv4 address and UDP port (host order) of the remote client whose datagrams
    // the camera takes now; S_FALSE with both 0 while no client holds the camera.
    virtual HRESULT STDMETHODCALLTYPE GetSessionOwner(ULONG * pIpv4Addr, USHORT * pPort) = 0;
};
__CRT_UUID_DECL(IK47CameraStatus, 0x84AB784F, 0xB80C, 0x4763, 0x8E, 0x8A, 0xA3, 0x6C, 0x62, 0x9E,
                0xEA, 0xB5)
inline constexpr IID IID_IK47CameraStatus = K47UuidOf<IK47CameraStatus>::value;

// ---------------------------------------------------------------------------------------------
// Counters (not in the type library): what a line and a camera have done since the object was
// created, for a host's metrics. Each is counted where the event happens, without a lock, and
// never reset (a new configuration does not clear them). A read copies each value on its own:
// values read together may be a few events apart, and none ever goes back.
//
// Both records begin with their size, so that either side may be newer: the caller sets cbSize
// to the size of the record it knows; the object fills the fields that fit, leaves the rest
// alone and sets cbSize to the bytes it filled. A cbSize that does not reach the first counter is
// refused (E_INVALIDARG).

typedef struct K47LINECOUNTERS {
    ULONG cbSize;
    ULONG reserved;
    ULONGLONG FramesWritten;  // frames that left the port whole
    ULONGLONG BytesWritten;   // the bytes of those frames
    ULONGLONG MovesDropped;   // moves not sent because the line was busy (the call's S_FALSE)
    ULONGLONG WriteFailures;  // writes the port refused, a device that went away among them
    ULONGLONG WriteTimeouts;  // frames that did not leave within the write bound (a stuck line)
    ULONGLONG Reopens;        // times a line that was down was opened again
} K47LINECOUNTERS;
static_assert(sizeof(K47LINECOUNTERS) == 56);

// Offered by the serial protocol drivers next to IK47LineStatus.
MIDL_INTERFACE("6C1D2E8A-3F47-4B95-9A0E-52D7C8B14F63")
IK47LineCounters : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetLineCounters(K47LINECOUNTERS * pCounters) = 0;
};
__CRT_UUID_DECL(IK47LineCounters, 0x6C1D2E8A, 0x3F47, 0x4B95, 0x9A, 0x0E, 0x52, 0xD7, 0xC8, 0xB1,
                0x4F, 0x63)
inline constexpr IID IID_IK47LineCounters = K47UuidOf<IK47LineCounters>::value;

// What the camera's last control call was (K47CAMERACOUNTERS.LastCommand, bits 16 and up).
typedef enum K47CAMERACALL : int {
    K47CALL_NONE = 0,       // no call yet
    K47CALL_MOVE = 1,       // MoveRelative with a speed
    K47CALL_STOP = 2,       // MoveRelative with every speed 0
    K47CALL_ENDMOTION = 3,  // EndMotion
    K47CALL_COMMAND = 4,    // Command; the PTZCOMMAND in the low 16 bits
    K47CALL_MENU = 5,       // MenuCommand; the PTZMENUCOMMAND in the low 16 bits
} K47CAMERACALL;

typedef struct K47CAMERACOUNTERS {
    ULONG cbSize;
    ULONG reserved;
    ULONGLONG MovesSent;           // MoveRelative calls with a speed, passed to the driver
    ULONGLONG StopsSent;           // stops passed to the driver: the callers' and the camera's own
    ULONGLONG DeadManStops;        // motions stopped because nobody renewed them within 5 s
    ULONGLONG RepeatedStops;       // stops on EndMotion's 0.4 s beat (11 after each EndMotion)
    ULONGLONG DatagramsAccepted;   // applied: a newer sequence from the session's owner
    ULONGLONG DatagramsStale;      // from the owner, but a sequence not newer than the last
    ULONGLONG DatagramsForeign;    // well formed, from a sender other than the owner
    ULONGLONG DatagramsMalformed;  // of the wrong size
    ULONGLONG SessionsStarted;     // times a sender took the free session
    ULONGLONG LastCommand;         // K47CAMERACALL << 16 | the command's code; 0 before any
    ULONGLONG LastCommandTime;     // GetTickCount64 at that call, in ms; 0 before any
} K47CAMERACOUNTERS;
static_assert(sizeof(K47CAMERACOUNTERS) == 96);

// Offered by the camera object (through the PTZCamera wrapper) next to IK47CameraStatus.
MIDL_INTERFACE("B2F4A917-5C3E-4D08-8E61-0A9D3C7E25B4")
IK47CameraCounters : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetCameraCounters(K47CAMERACOUNTERS * pCounters) = 0;
};
__CRT_UUID_DECL(IK47CameraCounters, 0xB2F4A917, 0x5C3E, 0x4D08, 0x8E, 0x61, 0x0A, 0x9D, 0x3C, 0x7E,
                0x25, 0xB4)
inline constexpr IID IID_IK47CameraCounters = K47UuidOf<IK47CameraCounters>::value;

// ---------------------------------------------------------------------------------------------
// Plug-in drivers

// The interface a separately supplied protocol driver offers to PTZ3PWrapper. The wrapper takes
// the pointer it is given and calls it by slot; the IID lets a host create and query plug-ins.
MIDL_INTERFACE("5A0C7E94-2F3B-4D61-8E7A-B9C41D02F635")
IPTZ3PDriver : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement * pElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE Terminate() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddCamera(INT_PTR address, IXMLDOMElement * pElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                   SHORT zoom, SHORT focus, SHORT iris) = 0;
    virtual HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) = 0;
    virtual HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION * pFunc,
                                                     ULONG * pPresetCount) = 0;
};
__CRT_UUID_DECL(IPTZ3PDriver, 0x5A0C7E94, 0x2F3B, 0x4D61, 0x8E, 0x7A, 0xB9, 0xC4, 0x1D, 0x02, 0xF6,
                0x35)
inline constexpr IID IID_IPTZ3PDriver = K47UuidOf<IPTZ3PDriver>::value;

// ---------------------------------------------------------------------------------------------
// Records passed through Initialize's pInitData

// What a driver hands to a new camera object (valid only during the Initialize call).
struct CameraInitData {
    BSTR name;                // the camera's name (not copied)
    IK47VariableStore* sink;  // the host's variable store, or null
    IUnknown* initData;       // the host's IK47PortService, or null
};

// What PTZ3PWrapper::Initialize receives.
struct PTZ3PInitData {
    IUnknown* cameraInitData;  // the host's IK47PortService, or null; handed on to each camera
    IPTZ3PDriver* driver;      // the supplied driver
};

// ---------------------------------------------------------------------------------------------
// Module identifiers

DEFINE_GUID(LIBID_K47PTZLib, 0x01ECA602, 0x2790, 0x4026, 0xA4, 0x17, 0x79, 0x50, 0xD5, 0x04, 0x3C,
            0xF8);
DEFINE_GUID(APPID_K47PTZ, 0xFC8B09AA, 0xDFD8, 0x4C92, 0x9A, 0x26, 0xA9, 0x2E, 0xD1, 0x2C, 0xEB,
            0xBC);
DEFINE_GUID(CLSID_K47PelcoD, 0xCBBA05DC, 0x7DFA, 0x478C, 0xB5, 0x69, 0x25, 0xAD, 0xF5, 0xB8, 0x24,
            0xB3);
DEFINE_GUID(CLSID_PTZClientLocal, 0xD450E5C3, 0xF7F6, 0x4A8C, 0xB7, 0xE7, 0x04, 0x01, 0xDE, 0xED,
            0x67, 0x0F);
DEFINE_GUID(CLSID_PTZClientRemote, 0x93C79A77, 0x86F6, 0x41AC, 0x99, 0x52, 0x57, 0x2F, 0x8F, 0xC2,
            0xD9, 0x29);
// PTZCamera: the host's camera. Its IK47PTZCamera (and every interface but its own configuration
// and termination ones) belongs to a camera object aggregated into it. Release every such pointer
// before calling Reconfigure or a second Initialize on the PTZCamera: those end the camera object,
// and a pointer kept across them dangles.
DEFINE_GUID(CLSID_PTZCamera, 0xADED08CA, 0x6263, 0x4B0B, 0xAC, 0x97, 0x86, 0x09, 0x83, 0x18, 0x04,
            0x7B);
DEFINE_GUID(CLSID_K47Panasonic, 0x0A67475A, 0xD833, 0x47C9, 0x8A, 0x19, 0xBC, 0x09, 0xF8, 0x6B,
            0x1B, 0x39);
DEFINE_GUID(CLSID_PTZCameraStub, 0x9B4F52D0, 0xAAC9, 0x464D, 0x9B, 0x0F, 0xFA, 0xED, 0xAD, 0x06,
            0x93, 0x5E);
DEFINE_GUID(CLSID_PTZ3PWrapper, 0x784D8A80, 0x47D4, 0x45A8, 0xA0, 0x10, 0xC4, 0x91, 0xE8, 0x48,
            0x5A, 0x4A);
DEFINE_GUID(CLSID_Bosch, 0x0BD6D15E, 0xD8C0, 0x44EA, 0x81, 0x0C, 0xD6, 0x33, 0xA5, 0x2D, 0x4A,
            0x88);
