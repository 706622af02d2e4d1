// The ONVIF device's cost per request, next to what bounds it in the same run: a ContinuousMove
// read, authenticated (digest token, SHA-1), carried out on a camera that only records, and
// answered (OnvifDevice::HandleBody); the same over HTTP through the bridge's listener; and a bare
// loopback TCP exchange of the same bytes with a responder that answers at once (the system
// calls alone). The line time of the move frame is the physical floor: 7.29 ms for a Pelco-D
// frame at 9600 Bd. Prints p50/p99 of each.
//
// Usage: bench_onvif [calls]   (default 2000 each)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "host/Installation.h"
#include "host/onvif/OnvifBridge.h"
#include "host/onvif/OnvifDevice.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/LocalServerSupport.h"

using namespace k47host::onvif;
using Clock = std::chrono::steady_clock;

namespace {

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A request as clients send it, with a token of its own nonce (made outside the timing).
std::string MoveRequest(int i) {
    static const char kHex[] = "0123456789abcdef";
    std::string nonce = "bench-nonce-";
    for (int n = i; n > 0 || nonce.size() < 20; n /= 16)
        nonce.push_back(kHex[n % 16]);
    const std::string created = Now();
    std::string nonce64(4 * ((nonce.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(nonce64.data()),
                    reinterpret_cast<const unsigned char*>(nonce.data()),
                    static_cast<int>(nonce.size()));
    return std::string(
               "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header>"
               "<Security s:mustUnderstand=\"1\" xmlns=\"") +
           kWsseNamespace + "\"><UsernameToken><Username>vms</Username><Password Type=\"" +
           kPasswordDigestType + "\">" + PasswordDigest(nonce, created, "bench") +
           "</Password><Nonce>" + nonce64 + "</Nonce><Created xmlns=\"" + kWsuNamespace + "\">" +
           created +
           "</Created></UsernameToken></Security></s:Header><s:Body>"
           "<ContinuousMove xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">"
           "<ProfileToken>profile_1</ProfileToken><Velocity><PanTilt x=\"0.5\" y=\"-0.25\" "
           "xmlns=\"http://www.onvif.org/ver10/schema\"/></Velocity><Timeout>PT5S</Timeout>"
           "</ContinuousMove></s:Body></s:Envelope>";
}

// Answers each connection's request at once with a fixed reply of the device's size, and closes.
class BareResponder {
  public:
    explicit BareResponder(std::string reply) : reply_(std::move(reply)) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_.get(), 64);
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~BareResponder() {
        stop_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }
    uint16_t Port() const { return port_; }

  private:
    void Run() {
        while (!stop_) {
            k47::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client)
                continue;
            std::string request;
            char buffer[8192];
            size_t need = std::string::npos;
            while (request.size() < need) {
                ssize_t n = ::recv(client.get(), buffer, sizeof(buffer), 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
                const size_t head = request.find("\r\n\r\n");
                const size_t length = request.find("Content-Length: ");
                if (head != std::string::npos && length != std::string::npos)
                    need = head + 4 + std::stoul(request.substr(length + 16));
            }
            ::send(client.get(), reply_.data(), reply_.size(), MSG_NOSIGNAL);
        }
    }
    std::string reply_;
    k47::UniqueFd listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void Print(const char* what, const std::vector<double>& us) {
    std::printf("%-52s p50 %8.1f us   p99 %8.1f us\n", what, Percentile(us, 0.5),
                Percentile(us, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        k47host::Installation installation;
        std::string error;
        installation.LoadText("<I/>", &error);
        k47test::CRecordingCamera* recorder = nullptr;
        Microsoft::WRL::ComPtr<IUnknown> camera = k47test::CRecordingCamera::Create(&recorder);
        installation.Server()->AddCamera(nullptr, u"Gate", camera.Get());
        OnvifSettings settings;
        settings.enabled = true;
        settings.listenAddress = "127.0.0.1";
        settings.users = {{"vms", "bench"}};
        OnvifCameraSettings published{"Gate", 0, "", "", "", ""};

        std::vector<std::string> requests;
        for (int i = 0; i < 2 * calls; ++i)
            requests.push_back(MoveRequest(i));

        // The device alone.
        std::vector<double> device;
        {
            OnvifDevice onvif(installation.Server(), published, settings, nullptr);
            for (int i = 0; i < calls; ++i) {
                unsigned status = 0;
                const auto start = Clock::now();
                std::string answer = onvif.HandleBody(requests[i], "http://127.0.0.1", &status);
                device.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                if (status != 200) {
                    std::fprintf(stderr, "the device refused: %s\n", answer.c_str());
                    return 1;
                }
                if (i % 256 == 0)
                    recorder->ClearCalls();
            }
            onvif.StopMotion();
        }

        // Over HTTP through the bridge, and the same bytes to a bare responder.
        sockaddr_in probe{};
        k47::UniqueFd free(::socket(AF_INET, SOCK_STREAM, 0));
        probe.sin_family = AF_INET;
        probe.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(probe);
        ::bind(free.get(), reinterpret_cast<sockaddr*>(&probe), length);
        ::getsockname(free.get(), reinterpret_cast<sockaddr*>(&probe), &length);
        published.port = ntohs(probe.sin_port);
        free.reset();
        settings.cameras = {published};
        OnvifBridge bridge(installation.Server(), settings);
        if (!bridge.Start(&error)) {
            std::fprintf(stderr, "the bridge did not start: %s\n", error.c_str());
            return 1;
        }
        const auto post = [](const std::string& body) {
            return k47test::Request("POST", "/onvif/ptz_service", body,
                                    "Content-Type: application/soap+xml; charset=utf-8\r\n");
        };
        const k47test::Reply first =
            k47test::Exchange(AF_INET, published.port, post(requests[calls]));
        BareResponder bare("HTTP/1.1 200 OK\r\nContent-Length: " +
                           std::to_string(first.body.size()) + "\r\n\r\n" + first.body);
        std::vector<double> http, raw;
        for (int i = calls + 1; i < 2 * calls; ++i) {
            const std::string request = post(requests[i]);
            auto start = Clock::now();
            const k47test::Reply reply = k47test::Exchange(AF_INET, published.port, request);
            http.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (reply.status != 200) {
                std::fprintf(stderr, "the bridge answered %u\n", reply.status);
                return 1;
            }
            start = Clock::now();
            k47test::Exchange(AF_INET, bare.Port(), request);
            raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (i % 256 == 0)
                recorder->ClearCalls();
        }
        bridge.Stop();
        std::printf("%d ContinuousMove requests each (digest token, %zu bytes)\n", calls,
                    requests[0].size());
        Print("OnvifDevice::HandleBody (parse, digest, move, answer)", device);
        Print("HTTP POST through the bridge's listener", http);
        Print("the same bytes to a bare loopback responder", raw);
        std::printf("%-52s %8.1f us\n", "line time of one Pelco-D frame at 9600 Bd", 7291.7);
    }
    CoUninitialize();
    return 0;
}
