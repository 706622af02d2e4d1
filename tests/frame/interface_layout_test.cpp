// Pins the slot order of every interface of the chief header. Hosts and plug-in drivers are built
// separately and call by slot, so a reordered method would break them silently: each test class
// answers slot N with a code naming the method declared there, and the test calls every slot
// through the raw vtable and compares with the expected order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/K47PTZ.h"

namespace {

// Calls slot `index` (counted from 0, IUnknown's three included) with no arguments. Every method of
// the test classes ignores its arguments and only returns its code, so the call is harmless.
HRESULT CallSlot(IUnknown* object, int index) {
    using Slot = HRESULT (*)(void*);
    void** vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Slot>(vtable[index])(object);
}

std::vector<int> SlotCodes(IUnknown* object, int methods) {
    std::vector<int> codes;
    for (int i = 0; i < methods; ++i)
        codes.push_back(CallSlot(object, 3 + i));
    return codes;
}

#define UNKNOWN_STUB                                                    \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { \
        return E_NOTIMPL;                                               \
    }                                                                   \
    ULONG STDMETHODCALLTYPE AddRef() override {                         \
        return 1;                                                       \
    }                                                                   \
    ULONG STDMETHODCALLTYPE Release() override {                        \
        return 1;                                                       \
    }

// Codes: the position of the method in the interface's documented order, plus 100.
struct Camera final : IK47PTZCamera {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return 101;
    }
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND, INT_PTR) override { return 102; }
    HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG*, USHORT*) override { return 103; }
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND) override { return 104; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION*, ULONG*) override { return 105; }
    HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR*) override { return 106; }
    HRESULT STDMETHODCALLTYPE EndMotion() override { return 107; }
};

struct Protocol final : IK47PTZProtocol {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE AddCamera(BSTR, IXMLDOMElement*, IUnknown*, IUnknown**) override {
        return 101;
    }
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR, SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return 102;
    }
    HRESULT STDMETHODCALLTYPE Command(INT_PTR, PTZCOMMAND, INT_PTR) override { return 103; }
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR, PTZMENUCOMMAND) override { return 104; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR, PTZFUNCTION*, ULONG*) override { return 105; }
};

struct Configuration final : IK47ObjectConfiguration {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement*, IUnknown*, ULONG_PTR) override {
        return 101;
    }
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement*) override { return 102; }
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement*) override { return 103; }
};

struct Client final : IK47PTZClient {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Connect(BSTR, BSTR) override { return 101; }
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return 102;
    }
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND, INT_PTR) override { return 103; }
    HRESULT STDMETHODCALLTYPE EndMotion() override { return 104; }
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND) override { return 105; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION*, ULONG*) override { return 106; }
};

struct Shutdown final : IK47Terminate {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Terminate(BOOL) override { return 101; }
};

struct Sink final : IK47EventSink {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG_PTR) override { return 101; }
};

// The object server: only slots 8, 13 and 16 have meaning; placeholders answer 0.
struct Server final : IK47ObjectServer {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Reserved1() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return 0; }
    HRESULT STDMETHODCALLTYPE LookupObject(BSTR, BSTR, IUnknown**) override { return 108; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved12() override { return 0; }
    HRESULT STDMETHODCALLTYPE StatusCheck() override { return 113; }
    HRESULT STDMETHODCALLTYPE Reserved14() override { return 0; }
    HRESULT STDMETHODCALLTYPE Reserved15() override { return 0; }
    HRESULT STDMETHODCALLTYPE GetObjectName(BSTR, BSTR*) override { return 116; }
};

struct Store final : IK47VariableStore {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE GetVariable(BSTR, IK47Variable**) override { return 101; }
};

struct Variable final : IK47Variable {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Advise(IK47EventSink*, DWORD*) override { return 101; }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return 102; }
    HRESULT STDMETHODCALLTYPE SetValue(VARIANT) override { return 103; }
    HRESULT STDMETHODCALLTYPE GetValue(VARIANT*) override { return 104; }
};

struct Ports final : IK47PortService {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE AllocatePort(USHORT*) override { return 101; }
    HRESULT STDMETHODCALLTYPE ReleasePort(USHORT) override { return 102; }
    HRESULT STDMETHODCALLTYPE IsEnabled() override { return 103; }
};

struct PlugIn final : IPTZ3PDriver {
    UNKNOWN_STUB
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement*) override { return 101; }
    HRESULT STDMETHODCALLTYPE Terminate() override { return 102; }
    HRESULT STDMETHODCALLTYPE AddCamera(INT_PTR, IXMLDOMElement*) override { return 103; }
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR, SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return 104;
    }
    HRESULT STDMETHODCALLTYPE Command(INT_PTR, PTZCOMMAND, INT_PTR) override { return 105; }
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR, PTZMENUCOMMAND) override { return 106; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR, PTZFUNCTION*, ULONG*) override { return 107; }
};

std::vector<int> Sequence(int count) {
    std::vector<int> codes;
    for (int i = 1; i <= count; ++i)
        codes.push_back(100 + i);
    return codes;
}

}  // namespace

TEST(InterfaceLayout, ControlInterfacesKeepTheirSlotOrder) {
    Camera camera;
    Protocol protocol;
    Configuration configuration;
    Client client;
    Shutdown terminate;
    Sink sink;
    EXPECT_EQ(SlotCodes(&camera, 7), Sequence(7)) << "IK47PTZCamera";
    EXPECT_EQ(SlotCodes(&protocol, 5), Sequence(5)) << "IK47PTZProtocol";
    EXPECT_EQ(SlotCodes(&configuration, 3), Sequence(3)) << "IK47ObjectConfiguration";
    EXPECT_EQ(SlotCodes(&client, 6), Sequence(6)) << "IK47PTZClient";
    EXPECT_EQ(SlotCodes(&terminate, 1), Sequence(1)) << "IK47Terminate";
    EXPECT_EQ(SlotCodes(&sink, 1), Sequence(1)) << "IK47EventSink";
}

TEST(InterfaceLayout, HostInterfacesKeepTheirSlotOrder) {
    Server server;
    // LookupObject is the 8th method, StatusCheck the 13th, GetObjectName the 16th.
    std::vector<int> expected(16, 0);
    expected[7] = 108;
    expected[12] = 113;
    expected[15] = 116;
    EXPECT_EQ(SlotCodes(&server, 16), expected);

    Store store;
    Variable variable;
    Ports ports;
    EXPECT_EQ(SlotCodes(&store, 1), Sequence(1)) << "IK47VariableStore";
    EXPECT_EQ(SlotCodes(&variable, 4), Sequence(4)) << "IK47Variable";
    EXPECT_EQ(SlotCodes(&ports, 3), Sequence(3)) << "IK47PortService";
}

TEST(InterfaceLayout, PlugInDriverKeepsItsSlotOrder) {
    PlugIn driver;
    EXPECT_EQ(SlotCodes(&driver, 7), Sequence(7));
}
