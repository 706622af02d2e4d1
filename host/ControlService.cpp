// The control web service on libmicrohttpd.
#include "host/ControlService.h"

#include <k47/errors.h>
#include <k47/strings.h>

#include <wrl/client.h>

#include "common/K47Global.h"
#include "webservice/VLTControlNamespace.h"

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

const char* const kServedOperations[] = {"StartRemoteSessionPTZ", "PtzCommand", "PtzMenuCommand",
                                         "PtzQueryFunctions"};

std::string Describe(HRESULT hr) {
    return k47::DescribeHresult(hr);
}

std::string Fault(unsigned* status, std::string code, std::string text, std::string detail = {}) {
    *status = 500;
    return BuildSoapFault(SoapFault{std::move(code), std::move(text), std::move(detail)});
}

// The served operations on a parsed request.
std::string Dispatch(CInstallationServer* server, uint32_t reportAddress,
                     const SoapRequest& request, unsigned* status) {
    bool served = false;
    for (const char* operation : kServedOperations)
        served = served || request.operation == operation;
    if (!served)
        return Fault(status, "Client",
                     "operation " + request.operation + " is not served by this host");

    std::optional<std::string> name = request.Text("name");
    if (!name)
        return Fault(status, "Client", "the camera name is missing");
    ComPtr<IK47PTZCamera> camera;
    HRESULT hr = server->FindCamera(k47::Utf8ToUtf16(*name), camera.GetAddressOf());
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return Fault(status, "Client", "unknown camera \"" + *name + "\"", Describe(hr));
    if (FAILED(hr))
        return Fault(status, "Server", "camera \"" + *name + "\" is not bound to a protocol driver",
                     Describe(hr));

    const std::string& operation = request.operation;
    if (operation == "StartRemoteSessionPTZ") {
        ULONG address = 0;
        USHORT port = 0;
        hr = camera->StartRemoteSession(&address, &port);
        if (hr == HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS))
            return Fault(status, "Server",
                         "camera \"" + *name +
                             "\" cannot open a session: every UDP port of the PortService range "
                             "is in use, by other sessions or other programs; widen First..Last",
                         Describe(hr));
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
    if (!request.Int("cmd", &cmd))
        return Fault(status, "Client", "\"cmd\" is missing or not a 32-bit integer");
    if (operation == "PtzCommand") {
        int32_t arg = 0;
        if (!request.Int("arg", &arg))
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

}  // namespace

std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::optional<std::string_view> soapAction, std::string_view body,
                              unsigned* status) {
    *status = 200;
    SoapFault fault;
    std::optional<SoapRequest> request = ParseSoapRequest(body, &fault);
    if (!request)
        return Fault(status, fault.code, fault.text);
    // Checked before any camera call: a header that disagrees with the body may come from a
    // gateway that filters on it, and the body must not then do something else.
    if (std::string problem = CheckSoapAction(soapAction, request->operation); !problem.empty())
        return Fault(status, "Client", problem);
    return Dispatch(server, reportAddress, *request, status);
}

std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::string_view body, unsigned* status) {
    *status = 200;
    SoapFault fault;
    std::optional<SoapRequest> request = ParseSoapRequest(body, &fault);
    if (!request)
        return Fault(status, fault.code, fault.text);
    return Dispatch(server, reportAddress, *request, status);
}

std::string ControlServiceHelpText() {
    std::string text = "K47PTZ control service\n\n";
    text += "This address takes SOAP 1.1 requests: POST an envelope with\n";
    text += "  Content-Type: text/xml; charset=utf-8\n";
    text += "  SOAPAction: \"";
    text += k47::vlt::kServiceNamespace;
    text += "/OPERATION\"\n";
    text += "where OPERATION is the element in the SOAP Body, in the namespace\n";
    text += k47::vlt::kServiceNamespace;
    text += ".\n\nOperations:\n";
    text += "  StartRemoteSessionPTZ(name) -> ipv4addr, port\n";
    text += "  PtzCommand(name, cmd, arg)\n";
    text += "  PtzMenuCommand(name, cmd)\n";
    text += "  PtzQueryFunctions(name) -> func, presetCount\n";
    return text;
}

http::Route ControlServiceRoute(CInstallationServer* server, uint32_t reportAddress) {
    http::Route route;
    // The endpoint may sit below a path prefix of the server address ("/site/VLTControl/...").
    route.match = http::PathMatch::kSuffix;
    route.path = std::string("/") + k47::vlt::kEndpointPath;
    // GET (and so HEAD) for a person who opens the address in a browser.
    route.methods = {"POST", "GET"};
    route.contentTypes = {"text/xml"};  // SOAP 1.1's; parameters (charset) are allowed
    route.maxBodyBytes = kMaxRequestBytes;
    route.answersOversize = true;
    route.handler = [server, reportAddress](const http::HttpRequest& request) {
        http::HttpResponse response;
        if (request.method != "POST") {
            response.contentType = "text/plain; charset=utf-8";
            response.body = ControlServiceHelpText();
            return response;
        }
        response.contentType = "text/xml; charset=utf-8";
        if (request.bodyTooLarge) {
            response.body = Fault(&response.status, "Client",
                                  "the request is larger than this service accepts");
            return response;
        }
        try {
            response.body = HandleSoapRequest(server, reportAddress, request.Header("SOAPAction"),
                                              request.body, &response.status);
        } catch (const std::exception& e) {
            response.body =
                Fault(&response.status, "Server", std::string("internal error: ") + e.what());
        }
        return response;
    };
    return route;
}

}  // namespace k47host
