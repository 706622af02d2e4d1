// An installation: the host's configuration file loaded, and every object it names created
// through the COM runtime and configured — protocol drivers first, then the camera wrappers, each
// bound to its driver through the installation server. Failures are reported with the element's
// line, the reason and what to do (the HRESULT too when verbose), and the rest goes on. Attributes
// and elements nobody reads are warnings; strict, every warning is a problem.
//
// The file (XML; the root element's name is free):
//   <ControlService Listen=".." Port=".." [Certificate=".." Key=".."] [ReportAddress=".."]
//                   [DatagramListen=".."] [Allow=".."] [MaxConnections=".."]
//                   [MaxConnectionsPerClient=".."] [Console="0|1"]>
//                   [<User Name=".." Password=".."/>...] </ControlService>          (0..n)
//   <Users> <User Name=".." Password=".."/>... </Users>   the console's users            (0..1)
//   <PortService First=".." Last=".."/>                                                     (0..1)
//   <Onvif [Listen=".."] [Discovery="0|1"] [DefaultTimeout="PT10S"] [MaxTimeout="PT60S"]
//          [PresetFile=".."] [Allow=".."]/>    the ONVIF bridge (docs/onvif.md) (0..1)
//   <PTZProtocols [Default="name"]> <Protocol Name=".." ProgID=".." [Driver="plug-in ProgID"] .../>
//   <Cameras> <Camera Name=".." [Protocol=".."] Address=".." [OnvifPort=".." StreamUri=".."
//             SnapshotUri=".." Manufacturer=".." Model=".."] .../>
// See docs/configuration.md for every attribute.
//
// Threading: built and torn down on the main thread; the objects are then used from any thread.
#pragma once

#include <wrl/client.h>
#include <k47/xmldoc.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/ControlService.h"
#include "host/HostObjects.h"
#include "host/onvif/OnvifSettings.h"

namespace k47host {

struct InstallationReport {
    int protocolsConfigured = 0;
    int camerasBound = 0;
    std::vector<std::string> problems;  // one line each
    std::vector<std::string> warnings;  // one line each, logged as they were found; none if strict
    int linesUnopened = 0;              // of the problems: serial ports missing or denied
};

struct CameraStopReport {
    int stopped = 0;  // stops the camera accepted
    int failed = 0;   // stops that failed (each logged)
    std::chrono::milliseconds took{0};
};

class Installation {
  public:
    Installation() = default;
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // Before Load. Strict: every warning (an element or attribute nobody reads, a service open
    // to all) is a problem instead, not logged but put in Build's report. Verbose: problems also
    // carry the HRESULT in words.
    void SetStrict(bool strict) { strict_ = strict; }
    void SetVerbose(bool verbose) { verbose_ = verbose; }

    // Loads the file and reads the service settings; false (with *error) when the file itself is
    // unusable. Nothing is created yet.
    bool Load(const std::string& path, std::string* error);
    bool LoadText(const std::string& text, std::string* error);

    // Creates and configures every driver and camera. Problems go to the report.
    InstallationReport Build();
    // Binds (and closes at once) each ControlService's listen address and port, and each ONVIF
    // device's, and reports each that cannot be bound as a problem naming the element and saying
    // what to do; so are TLS files that cannot be read. For --check: the listeners themselves are
    // not started then. Returns how many addresses cannot be bound.
    int CheckListeners(InstallationReport* report) const;
    // Offers the installation server to local clients in other processes (CLSID_K47ObjectServer,
    // CLSCTX_LOCAL_SERVER) until RevokeObjectServer or Shutdown.
    HRESULT PublishObjectServer();
    void RevokeObjectServer();

    // Gives every bound camera one stop (MoveRelative with every speed 0) through its
    // IK47PTZCamera: a camera may still be turning, left so by a host that crashed or by a client.
    // Lines are served at once (up to 32), the cameras of one line one after another (a stop
    // waits for its line). A failed stop is logged with the camera's name; so is a summary naming
    // `occasion`.
    CameraStopReport StopCameras(const char* occasion);

    enum class Motion {
        kLeave,  // the cameras are terminated as they are
        kStop,   // each terminated camera gets one stop before the drivers end
    };
    // Withdraws the object server from other processes, terminates every camera, with kStop
    // stops each, then terminates every driver that can be terminated, and releases them. The
    // host's listeners (HostServices) must be stopped before: no request may reach a camera
    // being terminated.
    void Shutdown(Motion motion = Motion::kLeave);

    CInstallationServer* Server() const { return server_; }
    IUnknown* ServerUnknown() const { return server_unknown_.Get(); }
    // The ControlService elements read by Load, for the host's listeners (HostServices).
    const std::vector<ControlServiceSettings>& ServiceSettings() const { return service_settings_; }
    // The <Onvif> element and the cameras it publishes (enabled false without the element).
    const onvif::OnvifSettings& OnvifBridgeSettings() const { return onvif_settings_; }
    // Handed to every camera; also tells where their session sockets listen (IK47SessionAddress).
    IK47PortService* PortService() const { return port_service_.Get(); }

  private:
    bool ReadSettings(std::string* error);
    bool ReadOnvifSettings(const http::AuthSettings& users, std::string* error);
    bool ReadServiceSettings(xmlNode* node, ControlServiceSettings* settings, std::string* error);
    // The User children of `parent` appended to *users; false at the first without a usable
    // Name and Password, or (uniqueNames) with a Name already taken.
    bool ReadUsers(xmlNode* parent, bool uniqueNames, std::vector<http::BasicUser>* users,
                   std::string* error);
    void CreateProtocol(xmlNode* element, InstallationReport* report);
    void CreateCamera(xmlNode* element, InstallationReport* report);
    // Logs a warning for each element the host does not read, at the root and one level down.
    void WarnOfUnknownElements(xmlNode* parent, bool atRoot);
    // Warns of each attribute of `element` that neither the host nor (for a Protocol or a Camera)
    // the built-in driver `progId` reads. A plug-in's elements are its own and not checked.
    void WarnOfUnknownAttributes(const xmlNode* element, const std::string& progId);
    void Warn(const std::string& text);
    // The HRESULT in words, in parentheses after a space, when verbose; else nothing.
    std::string Detail(HRESULT hr) const;
    std::string Where(const xmlNode* element) const;
    // Why a listening socket could not be bound, in words, naming the port's attribute.
    std::string WhyNotListening(int error, const char* portAttribute) const;

    k47::XmlDocument document_;
    std::string path_;  // of the file loaded; empty for a text
    Microsoft::WRL::ComPtr<IUnknown> server_unknown_;
    CInstallationServer* server_ = nullptr;
    Microsoft::WRL::ComPtr<IK47PortService> port_service_;
    std::vector<ControlServiceSettings> service_settings_;
    std::vector<std::string> service_elements_;  // Where() of each ControlService, in order
    onvif::OnvifSettings onvif_settings_;
    std::vector<std::string> warnings_;  // found by Load and Build
    bool strict_ = false;
    bool verbose_ = false;
    std::map<std::string, std::string> protocol_prog_ids_;  // configured protocols: name -> ProgID
    std::string default_protocol_;                          // PTZProtocols' Default
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> plug_ins_;
    DWORD object_server_cookie_ = 0;
    bool shut_down_ = false;
};

}  // namespace k47host
