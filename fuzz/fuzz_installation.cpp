// Fuzzes the host's installation file as a whole: the bytes are loaded as the installation
// document and built into drivers and cameras exactly as k47ptz-host does at start (load, build,
// the start-up stop of every camera, then shutdown with a stop). The drivers are the real ones;
// their ports never open (see host_fuzz.h), so they run with the line down and write nothing.
//
// A garbled file may only give problems in words: an unusable file is refused with a message,
// and every Protocol and Camera element ends either configured/bound or with exactly one problem
// naming the element and its line. The bound cameras are the ones the object server groups by
// line, and each gets one stop, which succeeds or is counted as failed. With K47_FUZZ_VERBOSE set
// in the environment the report is printed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <k47/xmldoc.h>

#include "fuzz/host_fuzz.h"
#include "host/Installation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using k47fuzz::Check;
    k47fuzz::EnterHost();
    const std::string text(reinterpret_cast<const char*>(data), size);
    k47fuzz::NewInput(text);

    k47host::Installation installation;
    std::string error;
    if (!installation.LoadText(text, &error)) {
        Check(!error.empty());
        return 0;
    }
    k47::XmlDocument document = k47::XmlDocument::LoadString(text);
    Check(static_cast<bool>(document));
    std::vector<xmlNode*> protocols, cameras;
    document.SelectNodes("PTZProtocols/Protocol", &protocols);
    document.SelectNodes("Cameras/Camera", &cameras);

    k47host::InstallationReport report = installation.Build();
    if (std::getenv("K47_FUZZ_VERBOSE") != nullptr) {  // for writing seeds: what the file gave
        for (const std::string& problem : report.problems)
            std::fprintf(stderr, "problem: %s\n", problem.c_str());
        std::fprintf(stderr, "%d protocol(s) configured, %d camera(s) bound\n",
                     report.protocolsConfigured, report.camerasBound);
    }
    Check(report.protocolsConfigured >= 0 &&
          static_cast<size_t>(report.protocolsConfigured) <= protocols.size());
    Check(report.camerasBound >= 0 && static_cast<size_t>(report.camerasBound) <= cameras.size());
    // One problem each, and one for the file when it names no camera.
    Check(report.protocolsConfigured + report.camerasBound + report.problems.size() ==
          protocols.size() + cameras.size() + (cameras.empty() ? 1 : 0));
    for (const std::string& problem : report.problems) {
        Check(problem.starts_with("<"));
        Check(problem.find("> at line ") != std::string::npos);
    }
    size_t grouped = 0;
    for (const auto& line : installation.Server()->CamerasByProtocol())
        grouped += line.size();
    Check(grouped == static_cast<size_t>(report.camerasBound));

    k47host::CameraStopReport stops = installation.StopCameras("start-up");
    Check(stops.stopped + stops.failed == report.camerasBound);
    installation.Shutdown(k47host::Installation::Motion::kStop);
    return 0;
}
