// The control web service on libmicrohttpd.
#include "host/ControlService.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <k47/errors.h>
#include <k47/strings.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <wrl/client.h>

#include "common/K47Global.h"
#include "webservice/VLTControlNamespace.h"

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

constexpr unsigned kThreads = 4;
constexpr unsigned kConnectionLimit = 64;
constexpr unsigned kIdleSeconds = 30;

const char* const kServedOperations[] = {"StartRemoteSessionPTZ", "PtzCommand", "PtzMenuCommand",
                                         "PtzQueryFunctions"};

std::string Describe(HRESULT hr) {
    return k47::DescribeHresult(hr);
}

std::string Fault(unsigned* status, std::string code, std::string text, std::string detail = {}) {
    *status = 500;
    return BuildSoapFault(SoapFault{std::move(code), std::move(text), std::move(detail)});
}

bool ReadFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *content = buffer.str();
    return true;
}

}  // namespace

std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::string_view body, unsigned* status) {
    *status = 200;
    SoapFault fault;
    std::optional<SoapRequest> request = ParseSoapRequest(body, &fault);
    if (!request)
        return Fault(status, fault.code, fault.text);

    bool served = false;
    for (const char* operation : kServedOperations)
        served = served || request->operation == operation;
    if (!served)
        return Fault(status, "Client",
                     "operation " + request->operation + " is not served by this host");

    std::optional<std::string> name = request->Text("name");
    if (!name)
        return Fault(status, "Client", "the camera name is missing");
    ComPtr<IK47PTZCamera> camera;
    HRESULT hr = server->FindCamera(k47::Utf8ToUtf16(*name), camera.GetAddressOf());
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return Fault(status, "Client", "unknown camera \"" + *name + "\"", Describe(hr));
    if (FAILED(hr))
        return Fault(status, "Server", "camera \"" + *name + "\" is not bound to a protocol driver",
                     Describe(hr));

    const std::string& operation = request->operation;
    if (operation == "StartRemoteSessionPTZ") {
        ULONG address = 0;
        USHORT port = 0;
        hr = camera->StartRemoteSession(&address, &port);
        if (FAILED(hr))
            return Fault(status, "Server", "camera \"" + *name + "\" cannot open a session",
                         Describe(hr));
        // The camera does not know where clients reach this machine; the installation says.
        uint32_t reported = address != 0 ? address : reportAddress;
        return BuildSoapResponse(
            operation, {{"ipv4addr", std::to_string(reported)}, {"port", std::to_string(port)}});
    }
    if (operation == "PtzQueryFunctions") {
        PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
        ULONG presets = 0;
        hr = camera->QueryFunctions(&functions, &presets);
        if (FAILED(hr))
            return Fault(status, "Server", "camera \"" + *name + "\" refused the query",
                         Describe(hr));
        return BuildSoapResponse(operation,
                                 {{"func", std::to_string(static_cast<uint32_t>(functions))},
                                  {"presetCount", std::to_string(presets)}});
    }
    int32_t cmd = 0;
    if (!request->Int("cmd", &cmd))
        return Fault(status, "Client", "\"cmd\" is missing or not a 32-bit integer");
    if (operation == "PtzCommand") {
        int32_t arg = 0;
        if (!request->Int("arg", &arg))
            return Fault(status, "Client", "\"arg\" is missing or not a 32-bit integer");
        hr = camera->Command(static_cast<PTZCOMMAND>(cmd), arg);
    } else {
        hr = camera->MenuCommand(static_cast<PTZMENUCOMMAND>(cmd));
    }
    if (FAILED(hr))
        return Fault(status, "Server", "camera \"" + *name + "\" refused the command",
                     Describe(hr));
    return BuildSoapResponse(operation, {});
}

// libmicrohttpd's callbacks, with access to the service.
struct ControlServiceAccess {
    struct Request {
        std::string body;
        bool tooLarge = false;
    };

    static MHD_Result Queue(MHD_Connection* connection, unsigned status, const std::string& body,
                            const char* contentType) {
        MHD_Response* response = MHD_create_response_from_buffer(
            body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr)
            return MHD_NO;
        MHD_add_response_header(response, "Content-Type", contentType);
        MHD_Result result = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return result;
    }

    static bool IsEndpoint(const char* url) {
        // The endpoint may sit below a path prefix of the server address ("/site/VLTControl/...").
        std::string_view path(url);
        const std::string suffix = std::string("/") + k47::vlt::kEndpointPath;
        return path.size() >= suffix.size() &&
               path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/, const char* uploadData,
                             size_t* uploadSize, void** state) {
        auto* service = static_cast<ControlService*>(cls);
        if (*state == nullptr) {
            *state = std::make_unique<Request>().release();  // owned again and freed in Completed
            return MHD_YES;
        }
        auto* request = static_cast<Request*>(*state);
        if (*uploadSize != 0) {
            if (request->body.size() + *uploadSize > kMaxRequestBytes) {
                request->tooLarge = true;
            } else {
                request->body.append(uploadData, *uploadSize);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (std::strcmp(method, "POST") != 0) {
            MHD_Result result = Queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                                      "only POST is served\n", "text/plain");
            return result;
        }
        if (!IsEndpoint(url))
            return Queue(connection, MHD_HTTP_NOT_FOUND, "no such service\n", "text/plain");
        unsigned status = 200;
        std::string answer;
        if (request->tooLarge) {
            answer = Fault(&status, "Client", "the request is larger than this service accepts");
        } else {
            try {
                answer = HandleSoapRequest(service->server_, service->settings_.reportAddress,
                                           request->body, &status);
            } catch (const std::exception& e) {
                answer = Fault(&status, "Server", std::string("internal error: ") + e.what());
            }
        }
        return Queue(connection, status, answer, "text/xml; charset=utf-8");
    }

    static void Completed(void* /*cls*/, MHD_Connection* /*connection*/, void** state,
                          MHD_RequestTerminationCode /*code*/) {
        std::unique_ptr<Request> request(static_cast<Request*>(*state));
        *state = nullptr;
    }
};

ControlService::ControlService(CInstallationServer* server, ControlServiceSettings settings)
    : server_(server), settings_(std::move(settings)) {}

ControlService::~ControlService() {
    Stop();
}

bool ControlService::Start(std::string* error) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(settings_.port);
    if (inet_pton(AF_INET, settings_.listenAddress.c_str(), &address.sin_addr) != 1) {
        *error = "listen address \"" + settings_.listenAddress + "\" is not an IPv4 address";
        return false;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
    if (Secure()) {
        if (!ReadFile(settings_.certificateFile, &certificate_)) {
            *error = "cannot read certificate file " + settings_.certificateFile;
            return false;
        }
        if (!ReadFile(settings_.keyFile, &key_)) {
            *error = "cannot read key file " + settings_.keyFile;
            return false;
        }
        flags |= MHD_USE_TLS;
    }
    MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(certificate_.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(key_.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    daemon_ = MHD_start_daemon(
        flags, settings_.port, nullptr, nullptr, &ControlServiceAccess::Handle, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address), MHD_OPTION_THREAD_POOL_SIZE,
        kThreads, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
        kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED, &ControlServiceAccess::Completed, nullptr,
        MHD_OPTION_ARRAY, Secure() ? tls : tls + 2, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "cannot listen on " + settings_.listenAddress + ":" +
                 std::to_string(settings_.port) +
                 (Secure() ? " (HTTPS: check the certificate and key)" : "");
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    boundPort_ = info != nullptr ? info->port : settings_.port;
    return true;
}

void ControlService::Stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

}  // namespace k47host
