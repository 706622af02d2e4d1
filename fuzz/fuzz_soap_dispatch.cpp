// Fuzzes the host's SOAP dispatch: request bodies go through HandleSoapRequest (parsing,
// operation lookup, camera lookup, argument conversion, the camera call, the answer or fault) of a
// host built once from a fixed installation: port-less Pelco-D, Panasonic and Bosch drivers and
// the example plug-in driver (nothing is written anywhere), a camera on each, a second Pelco-D
// camera of the Pelco model and a camera whose protocol does not exist. Cameras keep their state
// from one input to the next, as in a running host.
//
// Checks: the status is 200 or 500; the answer is well-formed XML; a 500 is a Client or Server
// fault with a text and a 200 the operation's response; a request the parser refuses, an
// operation not served and an unknown camera are Client faults.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <k47/xmldoc.h>

#include "fuzz/host_fuzz.h"
#include "host/ControlService.h"
#include "host/Installation.h"
#include "host/SoapService.h"

namespace {

constexpr char kInstallation[] = R"(<Installation>
  <PTZProtocols Default="Pelco">
    <Protocol Name="Pelco" ProgID="K47PTZ.K47PelcoD"/>
    <Protocol Name="Panasonic" ProgID="K47PTZ.K47Panasonic"/>
    <Protocol Name="Bosch" ProgID="K47PTZ.Bosch"/>
    <Protocol Name="Plug" ProgID="K47PTZ.PTZ3PWrapper" Driver="K47Example.PelcoDriver"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Address="1"/>
    <Camera Name="Yard" Protocol="Pelco" Address="2" Model="PELCO"/>
    <Camera Name="Lobby" Protocol="Panasonic" Address="3"/>
    <Camera Name="Dock" Protocol="Bosch" Address="129"/>
    <Camera Name="Dome" Protocol="Plug" Address="5"/>
    <Camera Name="Lost" Protocol="Nowhere" Address="4"/>
  </Cameras>
</Installation>)";

k47host::CInstallationServer* Host() {
    static k47host::Installation installation;
    static k47host::CInstallationServer* server = [] {
        std::string error;
        k47fuzz::Check(installation.LoadText(kInstallation, &error));
        k47host::InstallationReport report = installation.Build();
        if (report.protocolsConfigured != 4 || report.camerasBound != 5) {
            for (const std::string& problem : report.problems)
                std::fprintf(stderr, "installation: %s\n", problem.c_str());
            std::abort();
        }
        return installation.Server();
    }();
    return server;
}

bool Has(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// One request through the dispatch, and what its answer must be.
void Dispatch(k47host::CInstallationServer* server, std::string_view body) {
    using k47fuzz::Check;
    unsigned status = 0;
    std::string answer = k47host::HandleSoapRequest(server, 0x7F000001, body, &status);
    Check(status == 200 || status == 500);
    Check(static_cast<bool>(k47::XmlDocument::LoadString(answer)));
    const bool client = Has(answer, "<faultcode>soap:Client</faultcode>");
    const bool serverFault = Has(answer, "<faultcode>soap:Server</faultcode>");
    if (status == 500) {
        Check(client != serverFault);
        Check(!Has(answer, "<faultstring></faultstring>"));
    } else {
        Check(!client && !serverFault);
    }

    k47host::SoapFault fault;
    std::optional<k47host::SoapRequest> request = k47host::ParseSoapRequest(body, &fault);
    if (!request) {
        Check(client);
        return;
    }
    const std::string& operation = request->operation;
    const bool served = operation == "StartRemoteSessionPTZ" || operation == "PtzCommand" ||
                        operation == "PtzMenuCommand" || operation == "PtzQueryFunctions";
    if (!served) {
        Check(client && Has(answer, "is not served"));
        return;
    }
    std::optional<std::string> name = request->Text("name");
    static const char* const kCameras[] = {"Gate", "Yard", "Lobby", "Dock", "Dome", "Lost"};
    bool known = false;
    for (const char* camera : kCameras)
        known = known || (name && *name == camera);
    if (!known) {
        Check(client);
        return;
    }
    if (*name == "Lost") {
        Check(serverFault && Has(answer, "is not bound"));
        return;
    }
    if (status == 200)
        Check(Has(answer, "<" + operation + "Response"));
}

}  // namespace

// Input: one request body, or several separated by NUL bytes (which no XML text holds), sent one
// after the other.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    k47fuzz::EnterHost();
    k47host::CInstallationServer* server = Host();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    k47fuzz::NewInput(input);
    for (;;) {
        size_t end = input.find('\0');
        Dispatch(server, input.substr(0, end));
        if (end == std::string_view::npos)
            return 0;
        input.remove_prefix(end + 1);
    }
}
