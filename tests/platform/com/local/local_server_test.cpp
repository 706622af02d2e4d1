// Cross-process COM (CLSCTX_LOCAL_SERVER): calls and their results across the socket, reference
// counts following the proxies, fragmented large arguments, several threads on one proxy, a
// blocked call holding up only its own connection, a server started from LocalServer32, a server
// dying, a client dying, and other users kept out. Most tests serve RemoteThing from the test
// process itself through the socket; the helper process k47_rpc_helper is the server or the
// client where a second process is the point.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "k47/localserver.h"
#include "k47/strings.h"
#include "tests/support/ScopedRegistryFolder.h"
#include "testmodule/remote_thing.h"
#include "testmodule/test_thing.h"
#include "windows.h"
#include "wrl/client.h"

extern char** environ;

using Microsoft::WRL::ComPtr;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;  // generous: nothing here should take more than milliseconds

// Polls a condition that no event announces (a connection's end, a process's exit).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void SetClassesDefault(const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)));
    RegCloseKey(key);
}

int ProxyStubObjects() {
    using Count = int (*)();
    HMODULE module = LoadLibraryA(K47_REMOTE_PS_PATH);
    auto count = reinterpret_cast<Count>(
        reinterpret_cast<void*>(GetProcAddress(module, "RemotePS_Objects")));
    return count != nullptr ? count() : -1;
}

// A helper process with its standard input and output on pipes.
struct Child {
    pid_t pid = -1;
    int to = -1;    // its standard input
    int from = -1;  // its standard output

    // The first line it writes (empty at end of file).
    std::string ReadLine() const {
        std::string line;
        char c;
        while (read(from, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    int Wait() {
        int status = 0;
        if (to >= 0)
            close(to);
        to = -1;
        waitpid(pid, &status, 0);
        if (from >= 0)
            close(from);
        from = -1;
        return status;
    }
};

// Starts the helper; `uid` >= 0 drops to that user (and group) first.
Child StartHelper(const std::vector<std::string>& args, int uid = -1) {
    int in[2], out[2];
    Child child;
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return child;
    std::vector<char*> argv{const_cast<char*>(K47_RPC_HELPER_PATH)};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    child.pid = fork();
    if (child.pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(120);
        execve(argv[0], argv.data(), environ);
        _exit(121);
    }
    close(in[0]);
    close(out[1]);
    child.to = in[1];
    child.from = out[0];
    return child;
}

class LocalServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        char pattern[] = "/tmp/k47-run-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        runtime_ = pattern;
        setenv("K47_RUNTIME_DIR", runtime_.c_str(), 1);
        const std::string ps = k47::GuidToString(CLSID_TestRemotePS);
        SetClassesDefault(
            "Interface\\" + k47::GuidToString(__uuidof(ITestRemote)) + "\\ProxyStubClsid32", ps);
        SetClassesDefault("CLSID\\" + ps + "\\InprocServer32", K47_REMOTE_PS_PATH);
        k47::SetLocalServerThroughSocket(true);
        k47::test::SetRemoteGate(true);
    }
    void TearDown() override {
        Revoke();
        k47::SetLocalServerThroughSocket(false);
        k47::SetLocalServerStartTimeout(10000);
        // Every test releases what it made: the connections end and every object goes.
        EXPECT_TRUE(WaitFor([] { return k47::LocalServerConnectionCount() == 0; }, kPatience));
        EXPECT_TRUE(k47::test::WaitForRemoteThingsAlive(0, kPatience));
        EXPECT_EQ(0, ProxyStubObjects());
        unsetenv("K47_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(runtime_, ec);
        CoUninitialize();
    }

    HRESULT Publish(DWORD flags = REGCLS_MULTIPLEUSE) {
        ComPtr<IClassFactory> factory;
        factory.Attach(k47::test::NewRemoteThingFactory());
        return CoRegisterClassObject(CLSID_TestRemote, factory.Get(), CLSCTX_LOCAL_SERVER, flags,
                                     &cookie_);
    }
    void Revoke() {
        if (cookie_ != 0) {
            EXPECT_EQ(S_OK, CoRevokeClassObject(cookie_));
        }
        cookie_ = 0;
    }
    static HRESULT Create(ComPtr<ITestRemote>* thing) {
        return CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER,
                                __uuidof(ITestRemote),
                                reinterpret_cast<void**>(thing->ReleaseAndGetAddressOf()));
    }
    std::string SocketPath() const {
        return runtime_ + "/" + k47::GuidToString(CLSID_TestRemote) + ".sock";
    }

    k47test::ScopedRegistryFolder sandbox_;
    std::string runtime_;
    DWORD cookie_ = 0;
};

TEST_F(LocalServerTest, CallsCrossWithTheirResults) {
    ASSERT_EQ(S_OK, Publish());
    ComPtr<ITestRemote> thing;
    ASSERT_EQ(S_OK, Create(&thing));
    EXPECT_EQ(1, k47::test::RemoteThingsAlive());
    struct Case {
        LONG a, b;
        HRESULT hr;
        LONG sum;  // what the caller's variable holds afterwards
    } cases[] = {
        {2, 3, S_OK, 5},
        {-7, -8, S_OK, -15},
        {INT_MAX, 1, E_INVALIDARG, -1},  // the object's failure comes back; *sum untouched
        {INT_MIN, -1, E_INVALIDARG, -1},
        {0, 0, S_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " + " << c.b);
        LONG sum = -1;
        EXPECT_EQ(c.hr, thing->Add(c.a, c.b, &sum));
        EXPECT_EQ(c.sum, sum);
    }
    EXPECT_EQ(E_POINTER, thing->Add(1, 2, nullptr)) << "a null [out] pointer reaches the object";
    ULONG pid = 0;
    ASSERT_EQ(S_OK, thing->ProcessId(&pid));
    EXPECT_EQ(static_cast<ULONG>(getpid()), pid);
    LONG value = -1;
    EXPECT_EQ(S_OK, thing->Value(&value));
    EXPECT_EQ(0, value);
    // Objects in another process cannot be aggregated.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK,
              CoGetClassObject(CLSID_TestRemote, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.GetAddressOf())));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(thing.Get(), IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
}

TEST_F(LocalServerTest, ReferenceCountsFollowTheProxies) {
    ASSERT_EQ(S_OK, Publish());
    ComPtr<ITestRemote> thing;
    ASSERT_EQ(S_OK, Create(&thing));
    ComPtr<ITestRemote> child;
    ASSERT_EQ(S_OK, thing->Child(1, child.GetAddressOf()));
    EXPECT_EQ(2, k47::test::RemoteThingsAlive());
    // AddRef and Release stay here: the server object lives on.
    for (int i = 0; i < 5; ++i)
        child->AddRef();
    for (int i = 0; i < 5; ++i)
        child->Release();
    LONG sum = 0;
    // Calls and releases of one connection are served in order, so after a round trip the
    // server has seen every release sent before it.
    ASSERT_EQ(S_OK, thing->Add(1, 1, &sum));
    EXPECT_EQ(2, k47::test::RemoteThingsAlive());
    // The same object received three times is given back once, with all three references.
    ComPtr<IUnknown> s1, s2, s3;
    ASSERT_EQ(S_OK, child->Self(s1.GetAddressOf()));
    ASSERT_EQ(S_OK, child->Self(s2.GetAddressOf()));
    ASSERT_EQ(S_OK, child->Self(s3.GetAddressOf()));
    child.Reset();
    s1.Reset();
    s2.Reset();
    ASSERT_EQ(S_OK, thing->Add(1, 1, &sum));
    EXPECT_EQ(2, k47::test::RemoteThingsAlive()) << "still held through s3";
    s3.Reset();
    ASSERT_EQ(S_OK, thing->Add(1, 1, &sum));
    EXPECT_EQ(1, k47::test::RemoteThingsAlive()) << "the last proxy's release reached the server";
    // The last proxy of the connection: the connection ends, the server lets go of the rest.
    thing.Reset();
    EXPECT_TRUE(k47::test::WaitForRemoteThingsAlive(0, kPatience));
    EXPECT_TRUE(WaitFor([] { return k47::LocalServerConnectionCount() == 0; }, kPatience));
}

TEST_F(LocalServerTest, LargeArgumentsCrossInFragments) {
    ASSERT_EQ(S_OK, Publish());
    ComPtr<ITestRemote> thing;
    ASSERT_EQ(S_OK, Create(&thing));
    // Around the fragment size (60 KiB with the 56-byte header in the first), above the socket
    // buffer, and a few megabytes.
    for (size_t size : {size_t{0}, size_t{1}, size_t{61384}, size_t{61440}, size_t{61441},
                        size_t{300000}, size_t{3u << 20}}) {
        SCOPED_TRACE(size);
        std::vector<BYTE> data(size);
        ULONG expected = 0;
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<BYTE>(i * 7 + 3);
            expected += data[i];
        }
        ULONG sum = ~0u;
        ASSERT_EQ(S_OK, thing->Digest(static_cast<ULONG>(size), data.data(), &sum));
        EXPECT_EQ(expected, sum);
        std::vector<BYTE> filled(size, 0);
        ASSERT_EQ(S_OK, thing->Fill(static_cast<ULONG>(size), 200, filled.data()));
        size_t wrong = 0;
        for (size_t i = 0; i < size; ++i)
            wrong += filled[i] != static_cast<BYTE>(200 + i);
        EXPECT_EQ(0u, wrong);
    }
}

TEST_F(LocalServerTest, ManyThreadsShareOneProxy) {
    ASSERT_EQ(S_OK, Publish());
    ComPtr<ITestRemote> thing;
    ASSERT_EQ(S_OK, Create(&thing));
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                LONG sum = 0;
                if (thing->Add(t * 100000, i, &sum) != S_OK || sum != t * 100000 + i)
                    ++wrong[t];
                if (i % 20 == 0) {
                    ComPtr<ITestRemote> child;
                    LONG value = 0;
                    if (thing->Child(i, child.GetAddressOf()) != S_OK ||
                        child->Value(&value) != S_OK || value != i)
                        ++wrong[t];
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), wrong);
    LONG sum = 0;
    ASSERT_EQ(S_OK, thing->Add(0, 0, &sum));
    EXPECT_EQ(1, k47::test::RemoteThingsAlive()) << "every child proxy gave its object back";
}

TEST_F(LocalServerTest, BlockedCallHoldsUpOnlyItsConnection) {
    ASSERT_EQ(S_OK, Publish());
    ComPtr<ITestRemote> first, second;
    ASSERT_EQ(S_OK, Create(&first));
    ASSERT_EQ(S_OK, Create(&second));
    k47::test::SetRemoteGate(false);
    std::thread blocked([&] { EXPECT_EQ(S_OK, first->Wait()); });
    ASSERT_TRUE(k47::test::WaitForRemoteWaiters(1, kPatience));
    LONG sum = 0;
    EXPECT_EQ(S_OK, second->Add(20, 22, &sum));
    EXPECT_EQ(42, sum);
    k47::test::SetRemoteGate(true);
    blocked.join();
    EXPECT_EQ(S_OK, first->Add(1, 2, &sum));
}

TEST_F(LocalServerTest, RegisteredServerIsStartedOnce) {
    const std::string command = std::string("\"") + K47_RPC_HELPER_PATH + "\" serve";
    SetClassesDefault("CLSID\\" + k47::GuidToString(CLSID_TestRemote) + "\\LocalServer32", command);
    // Two activations at once: one server is started, both reach it.
    ComPtr<ITestRemote> a, b;
    HRESULT ha = E_FAIL, hb = E_FAIL;
    std::thread other([&] { ha = Create(&a); });
    hb = Create(&b);
    other.join();
    ASSERT_EQ(S_OK, ha);
    ASSERT_EQ(S_OK, hb);
    ULONG pa = 0, pb = 0;
    ASSERT_EQ(S_OK, a->ProcessId(&pa));
    ASSERT_EQ(S_OK, b->ProcessId(&pb));
    EXPECT_NE(static_cast<ULONG>(getpid()), pa);
    EXPECT_EQ(pa, pb);
    ComPtr<ITestRemote> child;
    ASSERT_EQ(S_OK, a->Child(5, child.GetAddressOf()));
    LONG value = 0;
    EXPECT_EQ(S_OK, child->Value(&value));
    EXPECT_EQ(5, value);
    // Its clients gone, the helper ends (and is reaped: the pid disappears).
    child.Reset();
    a.Reset();
    b.Reset();
    EXPECT_TRUE(WaitFor([&] { return kill(static_cast<pid_t>(pa), 0) != 0; }, kPatience));
}

TEST_F(LocalServerTest, DeadServerFailsCalls) {
    const std::string server_key =
        "CLSID\\" + k47::GuidToString(CLSID_TestRemote) + "\\LocalServer32";
    // The server dies in the middle of a call: that call may have run.
    SetClassesDefault(server_key, std::string(K47_RPC_HELPER_PATH) + " serve --exit-in-wait");
    ComPtr<ITestRemote> thing;
    ASSERT_EQ(S_OK, Create(&thing));
    ULONG first = 0;
    ASSERT_EQ(S_OK, thing->ProcessId(&first));
    EXPECT_EQ(RPC_E_SERVER_DIED, thing->Wait());
    LONG sum = 0;
    EXPECT_EQ(RPC_E_DISCONNECTED, thing->Add(1, 2, &sum)) << "every later call fails at once";
    // So does a query the proxy has to put to the server (an interface it has a proxy/stub class
    // for but has not asked about yet).
    SetClassesDefault(
        "Interface\\" + k47::GuidToString(__uuidof(ITestThing)) + "\\ProxyStubClsid32",
        k47::GuidToString(CLSID_TestRemotePS));
    ComPtr<ITestThing> other;
    EXPECT_EQ(RPC_E_DISCONNECTED, thing.As(&other));
    thing.Reset();

    // A new server starts at once, although the dead one's socket may still take connections
    // for a moment. This time the server is gone before the call: it did not run.
    SetClassesDefault(server_key, std::string(K47_RPC_HELPER_PATH) + " serve");
    ASSERT_EQ(S_OK, Create(&thing));
    ULONG pid = 0;
    ASSERT_EQ(S_OK, thing->ProcessId(&pid));
    EXPECT_NE(first, pid);
    ASSERT_EQ(0, kill(static_cast<pid_t>(pid), SIGKILL));
    ASSERT_TRUE(WaitFor([&] { return kill(static_cast<pid_t>(pid), 0) != 0; }, kPatience));
    EXPECT_EQ(RPC_E_SERVER_DIED_DNE, thing->Add(1, 2, &sum));
    EXPECT_EQ(RPC_E_DISCONNECTED, thing->Add(1, 2, &sum));
}

TEST_F(LocalServerTest, ClientDeathReleasesItsReferences) {
    ASSERT_EQ(S_OK, Publish());
    Child client = StartHelper({"hold"});
    ASSERT_GT(client.pid, 0);
    ASSERT_EQ("ready", client.ReadLine());
    EXPECT_EQ(2, k47::test::RemoteThingsAlive());
    EXPECT_EQ(1u, k47::LocalServerConnectionCount());
    ASSERT_EQ(0, kill(client.pid, SIGKILL));
    int status = client.Wait();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(k47::test::WaitForRemoteThingsAlive(0, kPatience));
    EXPECT_TRUE(WaitFor([] { return k47::LocalServerConnectionCount() == 0; }, kPatience));
}

// Another user gets in neither through the folder (0700) nor, with the folder and socket opened
// up by mistake, past the server's check of the peer's credentials.
TEST_F(LocalServerTest, OtherUsersCannotConnect) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    ASSERT_EQ(S_OK, Publish());
    for (bool opened : {false, true}) {
        SCOPED_TRACE(opened ? "folder and socket opened up" : "private folder");
        if (opened) {
            ASSERT_EQ(0, chmod(runtime_.c_str(), 0755));
            ASSERT_EQ(0, chmod(SocketPath().c_str(), 0666));
        }
        Child client = StartHelper({"activate"}, 65534);
        ASSERT_GT(client.pid, 0);
        std::string printed = client.ReadLine();
        int status = client.Wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ("80070005", printed) << "E_ACCESSDENIED";
        EXPECT_EQ(0u, k47::LocalServerConnectionCount());
    }
    ComPtr<ITestRemote> thing;
    EXPECT_EQ(S_OK, Create(&thing)) << "the owner still gets in";
}

}  // namespace
