// The control web service of the host: SOAP 1.1 over HTTP or HTTPS at
// ".../VLTControl/VLTControl.asmx", answering StartRemoteSessionPTZ, PtzCommand, PtzMenuCommand
// and PtzQueryFunctions on the installation's cameras, and a Client fault for every other
// operation. Served by libmicrohttpd on its own threads (a small pool), so camera calls run on
// those threads; requests are capped in size and connections in number and idle time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/HostObjects.h"
#include "host/SoapService.h"

struct MHD_Daemon;

namespace k47host {

struct ControlServiceSettings {
    std::string listenAddress = "0.0.0.0";  // IPv4 address to bind
    uint16_t port = 8080;                   // 0: any free port
    std::string certificateFile;            // PEM; with keyFile: HTTPS
    std::string keyFile;
    uint32_t reportAddress = 0;  // IPv4 (host order) handed to remote clients, or 0
};

// Answers one SOAP request body; the HTTP status goes to *status (200, or 500 for a fault).
// The camera calls go to `server`. Used by the service and by tests without a socket.
std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::string_view body, unsigned* status);

class ControlService {
  public:
    ControlService(CInstallationServer* server, ControlServiceSettings settings);
    ~ControlService();
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    // Starts listening; false with a message in *error.
    bool Start(std::string* error);
    void Stop();
    uint16_t Port() const { return boundPort_; }
    bool Secure() const { return !settings_.certificateFile.empty(); }
    const ControlServiceSettings& Settings() const { return settings_; }

  private:
    CInstallationServer* server_;  // owned by the host, outlives the service
    ControlServiceSettings settings_;
    std::string certificate_;
    std::string key_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t boundPort_ = 0;

    friend struct ControlServiceAccess;
};

}  // namespace k47host
