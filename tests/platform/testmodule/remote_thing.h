// The test class of the cross-process transport tests: RemoteThing, served by a test process or
// by the helper k47_rpc_helper, with the interface ITestRemote, whose proxy and stub come from the
// module k47_remote_ps (class CLSID_TestRemotePS, registered per test under
// HKCR\Interface\{IID}\ProxyStubClsid32).
//
// The k47::test functions observe and steer the RemoteThing objects of the calling process; they
// are thread-safe.
#pragma once

#include <chrono>

#include "objbase.h"

MIDL_INTERFACE("6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E20")
ITestRemote : public IUnknown {
  public:
    // *sum = a + b; E_INVALIDARG when that overflows; E_POINTER for a null sum.
    virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG * sum) = 0;
    // The sum of the bytes (mod 2^32).
    virtual HRESULT STDMETHODCALLTYPE Digest(ULONG count, const BYTE* data, ULONG* sum) = 0;
    // data[i] = seed + i (mod 256).
    virtual HRESULT STDMETHODCALLTYPE Fill(ULONG count, BYTE seed, BYTE * data) = 0;
    // A new object holding `value`; it aggregates the free-threaded marshaler.
    virtual HRESULT STDMETHODCALLTYPE Child(LONG value, ITestRemote * *child) = 0;
    // This object's IUnknown.
    virtual HRESULT STDMETHODCALLTYPE Self(IUnknown * *self) = 0;
    // The value given to Child (0 for objects of the class object).
    virtual HRESULT STDMETHODCALLTYPE Value(LONG * value) = 0;
    // Returns once the process's gate is open (see SetRemoteGate).
    virtual HRESULT STDMETHODCALLTYPE Wait() = 0;
    virtual HRESULT STDMETHODCALLTYPE ProcessId(ULONG * pid) = 0;
};
__CRT_UUID_DECL(ITestRemote, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D, 0x9E,
                0x20)

// {6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E21}
DEFINE_GUID(CLSID_TestRemote, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D, 0x9E,
            0x21);
// {6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E22}: the proxy/stub class of ITestRemote.
DEFINE_GUID(CLSID_TestRemotePS, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D,
            0x9E, 0x22);

namespace k47::test {

// A new class object of RemoteThing (one reference for the caller).
IClassFactory* NewRemoteThingFactory();
// RemoteThing objects alive in this process.
int RemoteThingsAlive();
// Waits until exactly `count` are alive; false after `timeout`.
bool WaitForRemoteThingsAlive(int count, std::chrono::milliseconds timeout);
// RemoteThing objects created in this process so far.
int RemoteThingsCreated();
// When on, Wait() ends the process at once (a server dying in the middle of a call).
void SetExitInWait(bool exit);
// Wait() blocks while the gate is closed (it starts open).
void SetRemoteGate(bool open);
// Waits until `count` calls are blocked in Wait(); false after `timeout`.
bool WaitForRemoteWaiters(int count, std::chrono::milliseconds timeout);

}  // namespace k47::test
