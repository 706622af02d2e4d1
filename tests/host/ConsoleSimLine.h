// The console's API in front of a real Pelco-D camera on a ptzsim line at 9600 Bd: the library's
// classes registered in a private registry, an installation with one camera "Gate" (address 1)
// and a ControlService with Console="1" on loopback, served by HostServices in this process.
// Frames are read back as the line's far end decoded them, stamped in CLOCK_MONOTONIC seconds
// (steady_clock's time base).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "frame/K47PTZModule.h"
#include "host/HostServices.h"
#include "host/Installation.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/ScopedRegistryFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/SimProcess.h"

namespace k47test {

// A Pelco-D frame's bytes as numbers ("ff 01 00 02 3f 00 42").
inline std::vector<int> FrameBytes(const SimProcess::Frame& frame) {
    std::vector<int> bytes;
    for (size_t at = 0; at + 1 < frame.raw.size(); at += 3)
        bytes.push_back(std::stoi(frame.raw.substr(at, 2), nullptr, 16));
    return bytes;
}

inline double MonotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class ConsoleSimLine {
  public:
    // Call with ASSERT_NO_FATAL_FAILURE.
    void Start() {
        k47test::RegisterLibraryClasses();
        ASSERT_HR_OK(DllRegisterServer());
        const std::string link = folder_.Path() + "/line.tty";
        sim_ = std::make_unique<SimProcess>("pelco-d", link);
        ASSERT_TRUE(sim_->ready());
        std::string error;
        ASSERT_TRUE(installation_.LoadText(
            R"(<Installation><ControlService Listen="127.0.0.1" Port="0" Console="1"/>
               <PTZProtocols><Protocol Name="Line" ProgID="K47PTZ.K47PelcoD" COMPort=")" +
                link + R"(" BaudRate="9600"/></PTZProtocols>
               <Cameras><Camera Name="Gate" Protocol="Line" Address="1"/></Cameras>
               </Installation>)",
            &error))
            << error;
        k47host::InstallationReport report = installation_.Build();
        ASSERT_TRUE(report.problems.empty()) << report.problems.front();
        services_ = std::make_unique<k47host::HostServices>(installation_.Server(),
                                                            installation_.ServiceSettings());
        ASSERT_TRUE(services_->Start(&error)) << error;
    }

    ~ConsoleSimLine() {
        if (services_)
            services_->Stop();
        installation_.Shutdown();
    }

    // A console POST on the camera; the HTTP status.
    unsigned Post(const std::string& action, const std::string& body) {
        return Exchange(AF_INET, services_->Listeners()[0]->Port(),
                        Request("POST", "/api/v1/cameras/Gate/" + action, body,
                                "Content-Type: application/json\r\nX-K47-Console: 1\r\n"))
            .status;
    }

    // Camera 1's frames of `kind` ("move", "stop", "preset-go"...), in line order.
    std::vector<SimProcess::Frame> Frames(const std::string& kind) {
        std::vector<SimProcess::Frame> out;
        for (const SimProcess::Frame& frame : sim_->Frames())
            if (frame.address == 1 && frame.kind == kind)
                out.push_back(frame);
        return out;
    }

  private:
    ScopedRegistryFolder registry_;
    TempFolder folder_;
    std::unique_ptr<SimProcess> sim_;
    k47host::Installation installation_;
    std::unique_ptr<k47host::HostServices> services_;
};

}  // namespace k47test
