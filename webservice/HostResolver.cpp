// Name resolution with a time-out (see the header).
#include "webservice/HostResolver.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace k47::http {

namespace {

struct Lookup {
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int rc = 0;
    ADDRINFOA* result = nullptr;
};

}  // namespace

int ResolveHost(const char* host, unsigned short port, DWORD timeoutMs, UniqueAddrInfo* result) {
    std::string service = std::to_string(port);
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;

    // Address literals need no lookup and cannot hang.
    hints.ai_flags = AI_NUMERICHOST;
    ADDRINFOA* found = nullptr;
    if (getaddrinfo(host, service.c_str(), &hints, &found) == 0) {
        result->reset(found);
        return 0;
    }
    hints.ai_flags = 0;

    auto lookup = std::make_shared<Lookup>();
    std::thread worker([lookup, name = std::string(host), service, hints] {
        ADDRINFOA* out = nullptr;
        int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &out);
        std::lock_guard<std::mutex> lock(lookup->mu);
        if (lookup->abandoned) {
            if (out != nullptr)
                freeaddrinfo(out);
        } else {
            lookup->rc = rc;
            lookup->result = out;
        }
        lookup->finished = true;
        lookup->done.notify_all();
    });
    worker.detach();

    std::unique_lock<std::mutex> lock(lookup->mu);
    if (timeoutMs == INFINITE) {
        lookup->done.wait(lock, [&] { return lookup->finished; });
    } else if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        return WSAETIMEDOUT;
    }
    if (lookup->rc != 0)
        return lookup->rc;
    result->reset(lookup->result);
    return 0;
}

}  // namespace k47::http
