// PtzCommand round trip through the socket transport (CVLTControlT over
// CK47SoapSocketClientT<ZEvtSyncSocket2>) against a loopback SOAP responder, next to libcurl
// POSTing the same request bytes to the same responder in the same run. Both open a new TCP
// connection per call. Prints p50/p99 of each and their ratio.
//
// Usage: bench_soap [calls]   (default 2000 each, interleaved)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "k47/strings.h"
#include "tests/support/ScriptedHttpServer.h"
#include "webservice/SoapSocketClient.h"
#include "webservice/VLTControl.h"
#include "webservice/ZEvtSyncSocket2.h"

// libcurl's C API, declared here: <curl/curl.h> brings the C library's socket headers, which
// cannot share a translation unit with the Windows socket names the transport is written
// against. The option numbers are libcurl's stable ABI (type base + index, see curl.h).
extern "C" {
typedef void CURL;
struct curl_slist;
typedef int CURLcode;
int curl_global_init(long flags);
void curl_global_cleanup(void);
CURL* curl_easy_init(void);
CURLcode curl_easy_setopt(CURL* curl, int option, ...);
CURLcode curl_easy_perform(CURL* curl);
CURLcode curl_easy_getinfo(CURL* curl, int info, ...);
void curl_easy_cleanup(CURL* curl);
curl_slist* curl_slist_append(curl_slist* list, const char* text);
void curl_slist_free_all(curl_slist* list);
}
constexpr long CURL_GLOBAL_DEFAULT = 3;
constexpr CURLcode CURLE_OK = 0;
constexpr int CURLOPT_URL = 10000 + 2;
constexpr int CURLOPT_WRITEFUNCTION = 20000 + 11;
constexpr int CURLOPT_POSTFIELDS = 10000 + 15;
constexpr int CURLOPT_HTTPHEADER = 10000 + 23;
constexpr int CURLOPT_POSTFIELDSIZE = 60;
constexpr int CURLOPT_FORBID_REUSE = 75;
constexpr int CURLINFO_RESPONSE_CODE = 0x200000 + 2;

namespace {

const std::string kAnswer =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
    "<PtzCommandResponse xmlns=\"http://k47ptz.org/VLTControl/VLT\"/></soap:Body></soap:Envelope>";

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Answers every request with the same 200 and closes the connection.
    k47test::ScriptedHttpServer responder;
    responder.AddReply(
        k47test::HttpReply(200, kAnswer, "Content-Type: text/xml; charset=utf-8\r\n"));
    std::string url =
        "http://127.0.0.1:" + std::to_string(responder.Port()) + "/VLTControl/VLTControl.asmx";
    CVLTControlT<CK47SoapSocketClientT<ZEvtSyncSocket2>> proxy(url.c_str());
    k47::UniqueBstr camera = k47::UniqueBstr::FromUtf8("Cam1");

    // The exact request our transport sends, replayed by libcurl.
    if (FAILED(proxy.PtzCommand(camera.get(), 5, 0))) {
        std::fprintf(stderr, "the proxy's first call failed\n");
        return 1;
    }
    if (!responder.WaitForRequests(1, std::chrono::seconds(5)))
        return 1;
    std::string request = responder.Requests().back().bytes;
    std::string envelope = request.substr(request.find("\r\n\r\n") + 4);
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
    headers =
        curl_slist_append(headers, "SOAPAction: \"http://k47ptz.org/VLTControl/VLT/PtzCommand\"");
    headers = curl_slist_append(headers, "Accept: text/xml");
    headers = curl_slist_append(headers, "User-Agent: Microsoft-ATL-Native/10.00");
    headers = curl_slist_append(headers, "Expect:");

    auto curlCall = [&] {
        CURL* curl = curl_easy_init();  // a new handle: a new connection every call
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, envelope.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(envelope.size()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(curl);
        return rc == CURLE_OK && status == 200;
    };

    std::vector<double> ours, theirs;
    int failures = 0;
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < calls + 100; ++i) {
        auto a = Clock::now();
        bool ok1 = SUCCEEDED(proxy.PtzCommand(camera.get(), 5, 0));
        auto b = Clock::now();
        bool ok2 = curlCall();
        auto c = Clock::now();
        if (!ok1 || !ok2)
            ++failures;
        if (i < 100)
            continue;  // warm-up
        ours.push_back(std::chrono::duration<double, std::micro>(b - a).count());
        theirs.push_back(std::chrono::duration<double, std::micro>(c - b).count());
    }
    curl_slist_free_all(headers);
    curl_global_cleanup();
    double p50a = Percentile(ours, 0.50), p99a = Percentile(ours, 0.99);
    double p50b = Percentile(theirs, 0.50), p99b = Percentile(theirs, 0.99);
    std::printf("PtzCommand round trip, new connection per call, %d calls each, %d failed\n", calls,
                failures);
    std::printf("  socket transport   p50 %8.1f us   p99 %8.1f us\n", p50a, p99a);
    std::printf("  libcurl            p50 %8.1f us   p99 %8.1f us\n", p50b, p99b);
    std::printf("  ratio (ours/curl)  p50 %8.2f      p99 %8.2f\n", p50a / p50b, p99a / p99b);
    return failures == 0 ? 0 : 1;
}
