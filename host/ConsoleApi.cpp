// The console's JSON API on the installation's camera objects.
#include "host/ConsoleApi.h"

#include <k47/errors.h>
#include <k47/strings.h>

#include <wrl/client.h>

#include <exception>
#include <limits>
#include <new>

#include "common/K47Global.h"
#include "host/HostStatus.h"
#include "host/JsonBody.h"

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

constexpr std::string_view kMoveAxes[] = {"pan", "tilt", "zoom", "focus", "iris"};
constexpr int64_t kMaxSpeed = 100;
constexpr size_t kMaxBodyBytes = 4096;

http::HttpResponse Error(unsigned status, const std::string& text) {
    return http::HttpResponse::JsonError(status, text);
}

http::HttpResponse NoContent() {
    http::HttpResponse response;
    response.status = 204;
    return response;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Valid UTF-8 survives a round trip through UTF-16 unchanged; anything else comes back with
// replacement characters.
bool IsUtf8(std::string_view text) {
    return k47::Utf16ToUtf8(k47::Utf8ToUtf16(text)) == text;
}

// The integer member `key` of `body` within [low, high]; `fallback` when absent. False with a
// 400 text in *error otherwise.
bool IntMember(const JsonObject& body, std::string_view key, int64_t low, int64_t high,
               std::optional<int64_t> fallback, int64_t* value, std::string* error) {
    const JsonValue* member = body.Find(key);
    if (member == nullptr) {
        if (!fallback) {
            *error = "\"" + std::string(key) + "\" is missing";
            return false;
        }
        *value = *fallback;
        return true;
    }
    const int64_t* number = std::get_if<int64_t>(member);
    if (number == nullptr) {
        *error = "\"" + std::string(key) + "\" must be an integer";
        return false;
    }
    if (*number < low || *number > high) {
        *error = "\"" + std::string(key) + "\" must be from " + std::to_string(low) + " to " +
                 std::to_string(high) + " (" + std::to_string(*number) + " is not)";
        return false;
    }
    *value = *number;
    return true;
}

// Only `known` members: a misspelt axis must not silently count as 0.
bool OnlyMembers(const JsonObject& body, std::initializer_list<std::string_view> known,
                 std::string* error) {
    for (const auto& [key, value] : body.Members()) {
        bool found = false;
        for (std::string_view name : known)
            found = found || key == name;
        if (!found) {
            *error = "unknown member \"" + key + "\"";
            return false;
        }
    }
    return true;
}

// What went wrong, as the system's message text (the codes are in the host's log, not for the
// operator's screen); the code only when no text is known.
std::string Cause(HRESULT hr) {
    const char* text = k47::ErrorText(hr);
    return text != nullptr ? std::string(text) : k47::DescribeHresult(hr);
}

// A failed camera call in words: 503 when the line or its driver is unavailable (system errors:
// a port missing, denied or timing out), else 409, the camera refusing what was asked.
http::HttpResponse Refused(HRESULT hr, const std::string& camera, const std::string& what) {
    const bool unavailable = HRESULT_FACILITY(hr) == FACILITY_WIN32;
    return Error(unavailable ? 503 : 409,
                 "camera \"" + camera + "\" refused the " + what +
                     (unavailable ? " (its line is unavailable): " : ": ") + Cause(hr));
}

http::HttpResponse Move(IK47PTZCamera* camera, const std::string& name, const JsonObject& body) {
    std::string error;
    if (!OnlyMembers(body, {"pan", "tilt", "zoom", "focus", "iris"}, &error))
        return Error(400, error);
    int64_t speeds[5] = {};
    for (size_t i = 0; i < 5; ++i)
        if (!IntMember(body, kMoveAxes[i], -kMaxSpeed, kMaxSpeed, 0, &speeds[i], &error))
            return Error(400, error);
    const HRESULT hr = camera->MoveRelative(
        static_cast<SHORT>(speeds[0]), static_cast<SHORT>(speeds[1]), static_cast<SHORT>(speeds[2]),
        static_cast<SHORT>(speeds[3]), static_cast<SHORT>(speeds[4]));
    return FAILED(hr) ? Refused(hr, name, "move") : NoContent();
}

http::HttpResponse Stop(IK47PTZCamera* camera, const std::string& name, const JsonObject& body) {
    if (!body.Members().empty())
        return Error(400, "a stop takes an empty object ({})");
    const HRESULT hr = camera->MoveRelative(0, 0, 0, 0, 0);
    return FAILED(hr) ? Refused(hr, name, "stop") : NoContent();
}

http::HttpResponse Preset(IK47PTZCamera* camera, const std::string& name, const JsonObject& body) {
    std::string error;
    if (!OnlyMembers(body, {"action", "number"}, &error))
        return Error(400, error);
    const JsonValue* action = body.Find("action");
    const std::string* actionText = action != nullptr ? std::get_if<std::string>(action) : nullptr;
    PTZCOMMAND command;
    if (actionText != nullptr && *actionText == "go")
        command = PTZCMD_GOTOPRESET;
    else if (actionText != nullptr && *actionText == "set")
        command = PTZCMD_SETPRESET;
    else if (actionText != nullptr && *actionText == "clear")
        command = PTZCMD_CLEARPRESET;
    else
        return Error(400, "\"action\" must be \"go\", \"set\" or \"clear\"");
    // The camera's own count bounds the number when it tells one.
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    int64_t highest = std::numeric_limits<int32_t>::max();
    if (SUCCEEDED(camera->QueryFunctions(&functions, &presets)) && presets > 0)
        highest = presets;
    int64_t number = 0;
    if (!IntMember(body, "number", 1, highest, std::nullopt, &number, &error))
        return Error(400, error + (presets > 0 ? " (camera \"" + name + "\" has presets 1 to " +
                                                     std::to_string(presets) + ")"
                                               : std::string()));
    const HRESULT hr = camera->Command(command, static_cast<INT_PTR>(number));
    return FAILED(hr) ? Refused(hr, name, "preset") : NoContent();
}

http::HttpResponse Command(IK47PTZCamera* camera, const std::string& name, const JsonObject& body) {
    std::string error;
    if (!OnlyMembers(body, {"cmd", "arg"}, &error))
        return Error(400, error);
    constexpr int64_t kLow = std::numeric_limits<int32_t>::min();
    constexpr int64_t kHigh = std::numeric_limits<int32_t>::max();
    int64_t cmd = 0;
    int64_t arg = 0;
    if (!IntMember(body, "cmd", kLow, kHigh, std::nullopt, &cmd, &error) ||
        !IntMember(body, "arg", kLow, kHigh, 0, &arg, &error))
        return Error(400, error);
    const HRESULT hr = camera->Command(static_cast<PTZCOMMAND>(cmd), static_cast<INT_PTR>(arg));
    return FAILED(hr) ? Refused(hr, name, "command") : NoContent();
}

http::HttpResponse Serve(CInstallationServer* server, const http::HttpRequest& request) {
    if (request.method != "POST")
        return Error(405, "only POST is served here");
    // The router lets a request without a body through without a content type; here it is
    // needed all the same.
    std::string_view media = request.Header("Content-Type").value_or("");
    media = media.substr(0, media.find(';'));
    while (!media.empty() && (media.back() == ' ' || media.back() == '\t'))
        media.remove_suffix(1);
    while (!media.empty() && (media.front() == ' ' || media.front() == '\t'))
        media.remove_prefix(1);
    if (!http::EqualsIgnoringCase(media, "application/json"))
        return Error(415, "the body must be application/json");
    if (request.Header(kConsoleHeader).value_or("") != "1")
        return Error(403, std::string("the header ") + kConsoleHeader +
                              ": 1 is missing; only the console may steer the cameras here");
    unsigned status = 0;
    std::string error;
    std::optional<ConsoleTarget> target = ParseConsolePath(request.rawPath, &status, &error);
    if (!target)
        return Error(status, error);
    http::HttpResponse (*action)(IK47PTZCamera*, const std::string&, const JsonObject&) = nullptr;
    if (target->action == "move")
        action = &Move;
    else if (target->action == "stop")
        action = &Stop;
    else if (target->action == "preset")
        action = &Preset;
    else if (target->action == "command")
        action = &Command;
    else
        return Error(404, "no action \"" + target->action +
                              "\"; a camera takes move, stop, preset and command");
    if (request.bodyTooLarge)
        return Error(413, "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes");
    std::optional<JsonObject> body = ParseJsonObject(request.body, &error);
    if (!body)
        return Error(400, "the body is not usable JSON: " + error);

    ComPtr<IK47PTZCamera> camera;
    const HRESULT hr = server->FindCamera(k47::Utf8ToUtf16(target->camera), camera.GetAddressOf());
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return Error(404, "no camera \"" + target->camera + "\" in this installation");
    if (FAILED(hr) || !camera)
        return Error(503, "camera \"" + target->camera +
                              "\" is not bound to a protocol driver; the host's log at start "
                              "says why");
    return action(camera.Get(), target->camera, *body);
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<ConsoleTarget> ParseConsolePath(std::string_view rawPath, unsigned* status,
                                              std::string* error) {
    std::string_view rest = rawPath;
    const std::string prefix = std::string(kConsoleApiRoot) + "/";
    if (!rest.starts_with(prefix)) {
        *status = 404;
        *error = "no such path";
        return std::nullopt;
    }
    rest.remove_prefix(prefix.size());
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos || rest.find('/', slash + 1) != std::string_view::npos) {
        *status = 404;
        *error = "no such path; write " + prefix + "{name}/{action}";
        return std::nullopt;
    }
    std::optional<std::string> camera = PercentDecode(rest.substr(0, slash));
    if (!camera) {
        *status = 400;
        *error = "the camera name has a '%' that is not followed by two hex digits";
        return std::nullopt;
    }
    if (camera->empty()) {
        *status = 400;
        *error = "the camera name is empty";
        return std::nullopt;
    }
    if (!IsUtf8(*camera)) {
        *status = 400;
        *error = "the camera name is not UTF-8";
        return std::nullopt;
    }
    for (char c : *camera) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *status = 400;
            *error = "the camera name holds a control character";
            return std::nullopt;
        }
    }
    std::optional<std::string> action = PercentDecode(rest.substr(slash + 1));
    if (!action || !IsUtf8(*action)) {
        *status = 400;
        *error = "the action is not percent-encoded UTF-8";
        return std::nullopt;
    }
    return ConsoleTarget{std::move(*camera), std::move(*action)};
}

http::HttpResponse HandleConsolePost(CInstallationServer* server,
                                     const http::HttpRequest& request) {
    // The handler is the boundary: a camera call that throws answers 500 here, in JSON, and
    // nothing reaches the listener's threads.
    try {
        return Serve(server, request);
    } catch (const std::bad_alloc&) {
        return Error(503, "out of memory");
    } catch (const std::exception& e) {
        g_ErrorHandling.WriteLog("k47ptz-host: console: POST %s: %s; answered 500\n",
                                 request.path.c_str(), e.what());
        return Error(500, "internal error");
    } catch (...) {
        g_ErrorHandling.WriteLog(
            "k47ptz-host: console: POST %s: an unknown exception; answered "
            "500\n",
            request.path.c_str());
        return Error(500, "internal error");
    }
}

std::vector<http::Route> ConsoleApiRoutes(CInstallationServer* server) {
    std::vector<http::Route> routes;

    http::Route list;
    list.match = http::PathMatch::kExact;
    list.path = kConsoleApiRoot;
    list.methods = {"GET"};
    list.jsonErrors = true;
    list.handler = [server](const http::HttpRequest&) {
        try {
            http::HttpResponse response;
            response.contentType = "application/json";
            response.body = StatusJson(ReadHostStatus(server));
            // A state of this moment: a cache in between would show a line up that is down.
            response.headers.emplace_back("Cache-Control", "no-store");
            return response;
        } catch (const std::bad_alloc&) {
            return Error(503, "out of memory");
        } catch (const std::exception& e) {
            g_ErrorHandling.WriteLog("k47ptz-host: console: GET %s: %s; answered 500\n",
                                     kConsoleApiRoot, e.what());
            return Error(500, "internal error");
        }
    };
    routes.push_back(std::move(list));

    http::Route actions;
    actions.match = http::PathMatch::kPrefix;
    actions.path = std::string(kConsoleApiRoot) + "/";
    actions.methods = {"POST"};
    actions.contentTypes = {"application/json"};
    actions.maxBodyBytes = kMaxBodyBytes;
    actions.jsonErrors = true;
    actions.handler = [server](const http::HttpRequest& request) {
        return HandleConsolePost(server, request);
    };
    routes.push_back(std::move(actions));
    return routes;
}

}  // namespace k47host
