// Helpers for the driver tests: the far end of a driver's serial line (a pty whose master is read
// on a thread of its own and decoded with the protocol's decoder, optionally answering like a
// camera), driver objects configured from attribute text, cameras added to them, and frames
// written from byte lists.
#pragma once

#include <gtest/gtest.h>
#include <atlbase.h>
#include <k47/pty.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"
#include "sim/DecodedFrame.h"
#include "sim/FrameDecoder.h"
#include "tests/support/TestUtil.h"

namespace k47test {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

inline std::string Hex(const Bytes& bytes) {
    return k47::sim::HexBytes(bytes);
}

// Frames one after another, as the line carries them.
inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A Panasonic frame: 0x02, the text, 0x03.
inline Bytes Stx(const std::string& text) {
    Bytes bytes(text.size() + 2);
    bytes.front() = 0x02;
    std::copy(text.begin(), text.end(), bytes.begin() + 1);
    bytes.back() = 0x03;
    return bytes;
}

// The far end of a line. A reader thread decodes everything the driver writes and queues the
// frames; with a responder installed it also answers each frame (on the reader thread) before
// decoding goes on.
class FarEnd {
  public:
    using Responder = std::function<void(const k47::sim::DecodedFrame& frame, k47::PtyPair& pty)>;

    explicit FarEnd(k47::sim::Protocol protocol)
        : protocol_(protocol), decoder_(k47::sim::MakeDecoder(protocol)) {
        reader_ = std::thread([this] { ReadLoop(); });
    }
    ~FarEnd() { StopReader(); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    const std::string& Path() const { return pty_.slave_path(); }
    k47::PtyPair& Pty() { return pty_; }

    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> guard(lock_);
        responder_ = std::move(responder);
    }

    // The next `count` frames (fewer when `timeout` passes first).
    std::vector<k47::sim::DecodedFrame> Next(size_t count,
                                             milliseconds timeout = milliseconds(3000)) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, timeout, [&] { return frames_.size() >= count; });
        std::vector<k47::sim::DecodedFrame> out;
        while (!frames_.empty() && out.size() < count) {
            out.push_back(std::move(frames_.front()));
            frames_.pop_front();
        }
        return out;
    }
    // The raw bytes of the next `count` frames, joined.
    Bytes NextBytes(size_t count = 1, milliseconds timeout = milliseconds(3000)) {
        Bytes out;
        for (const auto& frame : Next(count, timeout))
            out.insert(out.end(), frame.raw.begin(), frame.raw.end());
        return out;
    }
    // Frames decoded and not taken yet.
    size_t Queued() {
        std::lock_guard<std::mutex> guard(lock_);
        return frames_.size();
    }

    // Ends the reader and closes the master: the driver's line is hung up.
    void HangUp() {
        StopReader();
        pty_.HangUp();
    }

  private:
    void StopReader() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }

    void ReadLoop() {
        while (!stop_) {
            Bytes bytes = pty_.ReadAvailable(512, milliseconds(20));
            if (bytes.empty())
                continue;
            std::vector<k47::sim::DecodedFrame> decoded;
            decoder_->Feed(bytes.data(), bytes.size(), decoded);
            Responder responder;
            {
                std::lock_guard<std::mutex> guard(lock_);
                responder = responder_;
            }
            for (auto& frame : decoded) {
                if (responder)
                    responder(frame, pty_);
                std::lock_guard<std::mutex> guard(lock_);
                frames_.push_back(std::move(frame));
                changed_.notify_all();
            }
        }
    }

    k47::sim::Protocol protocol_;
    k47::PtyPair pty_;
    std::unique_ptr<k47::sim::FrameDecoder> decoder_;  // reader thread only
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<k47::sim::DecodedFrame> frames_;
    Responder responder_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// A driver object of class T made for the test's own use: its interfaces and the concrete object
// (for the port-lock hook).
template <class T>
struct DriverUnderTest {
    Microsoft::WRL::ComPtr<IUnknown> identity;
    T* object = nullptr;
    Microsoft::WRL::ComPtr<IK47PTZProtocol> protocol;
    Microsoft::WRL::ComPtr<IK47ObjectConfiguration> configuration;

    DriverUnderTest() {
        EXPECT_HR_OK(K47CreateInstance<T>(identity.GetAddressOf(), &object));
        if (identity) {
            EXPECT_HR_OK(identity.As(&protocol));
            EXPECT_HR_OK(identity.As(&configuration));
        }
    }
    // Initialize from a protocol element with these attributes (owner and init data optional).
    HRESULT Initialize(const std::string& attributes, IUnknown* owner = nullptr,
                       IUnknown* initData = nullptr) {
        return configuration->Initialize(XmlElement("<Protocol " + attributes + "/>").Get(), owner,
                                         reinterpret_cast<ULONG_PTR>(initData));
    }
    HRESULT Reconfigure(const std::string& attributes) {
        return configuration->Reconfigure(XmlElement("<Protocol " + attributes + "/>").Get());
    }
};

// The attributes of a protocol element on `path`.
inline std::string LineAttributes(const std::string& path, const std::string& more = "") {
    return "COMPort=\"" + path + "\" BaudRate=\"9600\" " + more;
}

// Adds a camera (element attributes as text) to a driver, not aggregated; the camera object is
// returned (null on failure, with the result in *result when given).
inline Microsoft::WRL::ComPtr<IUnknown> AddCamera(IK47PTZProtocol* driver,
                                                  const std::string& attributes,
                                                  const char16_t* name = u"Cam",
                                                  HRESULT* result = nullptr) {
    Microsoft::WRL::ComPtr<IUnknown> camera;
    CComBSTR bstrName(name);
    HRESULT hr = driver->AddCamera(bstrName, XmlElement("<Camera " + attributes + "/>").Get(),
                                   nullptr, camera.GetAddressOf());
    if (result != nullptr) {
        *result = hr;
    } else {
        EXPECT_HR_OK(hr) << attributes;
    }
    return camera;
}

// Holds a lock on a thread of its own until Release (a Windows mutex belongs to the thread that
// took it, so the test thread itself cannot stand for "another thread").
class LockHolder {
  public:
    template <class Lock>
    explicit LockHolder(Lock& lock) {
        thread_ = std::thread([this, &lock] {
            lock.Lock();
            {
                std::lock_guard<std::mutex> guard(mutex_);
                held_ = true;
            }
            changed_.notify_all();
            std::unique_lock<std::mutex> guard(mutex_);
            changed_.wait(guard, [&] { return release_; });
            lock.Unlock();
        });
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return held_; });
    }
    ~LockHolder() { Release(); }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            release_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool release_ = false;
    std::thread thread_;
};

// Matches the handler line "<description> - handler <part> line <n>" and gives n (or -1).
inline int HandlerLine(const std::string& line, const std::string& part) {
    std::string marker = " - handler " + part + " line ";
    size_t at = line.find(marker);
    if (at == std::string::npos)
        return -1;
    return std::atoi(line.c_str() + at + marker.size());
}

}  // namespace k47test
