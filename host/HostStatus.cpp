// The host's status, read from the installation's objects and written as JSON.
#include "host/HostStatus.h"

#include <atlbase.h>
#include <wrl/client.h>
#include <k47/strings.h>

#include <chrono>
#include <cstdio>

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

std::string Utf8(BSTR text) {
    return text == nullptr ? std::string()
                           : k47::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

const char* StateName(K47LINESTATE state) {
    switch (state) {
        case K47LINE_NONE:
            return "none";
        case K47LINE_UP:
            return "up";
        case K47LINE_DOWN:
            return "down";
        case K47LINE_STUCK:
            return "stuck";
    }
    return "unknown";
}

std::optional<LineCounters> ReadLineCounters(const ComPtr<IUnknown>& driver) {
    ComPtr<IK47LineCounters> source;
    if (!driver || FAILED(driver.As(&source)))
        return std::nullopt;
    K47LINECOUNTERS read{};
    read.cbSize = sizeof(read);
    if (FAILED(source->GetLineCounters(&read)))
        return std::nullopt;
    // An older driver fills fewer fields; those it left out stay 0.
    return LineCounters{read.FramesWritten, read.BytesWritten,  read.MovesDropped,
                        read.WriteFailures, read.WriteTimeouts, read.Reopens};
}

std::optional<CameraCounters> ReadCameraCounters(const ComPtr<IUnknown>& camera) {
    ComPtr<IK47CameraCounters> source;
    if (!camera || FAILED(camera.As(&source)))
        return std::nullopt;
    K47CAMERACOUNTERS read{};
    read.cbSize = sizeof(read);
    if (FAILED(source->GetCameraCounters(&read)))
        return std::nullopt;
    // After the read: the call's time is never later than this.
    const ULONGLONG now = GetTickCount64();
    CameraCounters counters;
    counters.moves = read.MovesSent;
    counters.stops = read.StopsSent;
    counters.deadManStops = read.DeadManStops;
    counters.repeatedStops = read.RepeatedStops;
    counters.datagramsAccepted = read.DatagramsAccepted;
    counters.datagramsStale = read.DatagramsStale;
    counters.datagramsForeign = read.DatagramsForeign;
    counters.datagramsMalformed = read.DatagramsMalformed;
    counters.sessionsStarted = read.SessionsStarted;
    counters.lastCommand = read.LastCommand;
    if (read.LastCommand != 0)
        counters.lastCommandAgeMs = now > read.LastCommandTime ? now - read.LastCommandTime : 0;
    return counters;
}

LineStatus ReadLine(const CInstallationServer::ListedProtocol& listed) {
    LineStatus line;
    line.name = k47::Utf16ToUtf8(listed.name);
    line.protocol = listed.progId;
    line.state = "unknown";
    if (!listed.device.empty())
        line.device = listed.device;
    line.counters = ReadLineCounters(listed.driver);
    ComPtr<IK47LineStatus> status;
    if (FAILED(listed.driver.As(&status)))
        return line;
    K47LINESTATE state = K47LINE_NONE;
    CComBSTR device;
    CComBSTR lastError;
    if (FAILED(status->GetLineStatus(&state, &device, &lastError)))
        return line;
    line.state = StateName(state);
    line.device.reset();
    if (device.Length() > 0)
        line.device = Utf8(device);
    if (lastError.Length() > 0)
        line.lastError = Utf8(lastError);
    return line;
}

CameraStatus ReadCamera(const CInstallationServer::ListedCamera& listed) {
    CameraStatus camera;
    camera.name = k47::Utf16ToUtf8(listed.name);
    camera.line = k47::Utf16ToUtf8(listed.protocol);
    ComPtr<IK47PTZCamera> bound;
    INT_PTR address = 0;
    if (SUCCEEDED(listed.wrapper.As(&bound)) && SUCCEEDED(bound->GetAddress(&address)))
        camera.address = static_cast<long long>(address);
    ComPtr<IK47CameraStatus> status;
    ULONG ipv4 = 0;
    USHORT port = 0;
    if (SUCCEEDED(listed.wrapper.As(&status)) && status->GetSessionOwner(&ipv4, &port) == S_OK) {
        char text[32];
        std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", (ipv4 >> 24) & 0xFF,
                      (ipv4 >> 16) & 0xFF, (ipv4 >> 8) & 0xFF, ipv4 & 0xFF, port);
        camera.sessionOwner = text;
    }
    camera.counters = ReadCameraCounters(listed.wrapper);
    return camera;
}

template <class T>
std::string JsonOptional(const std::optional<T>& value) {
    if (!value)
        return "null";
    if constexpr (std::is_same_v<T, std::string>)
        return JsonString(*value);
    else
        return std::to_string(*value);
}

std::string LineCountersJson(const std::optional<LineCounters>& counters) {
    if (!counters)
        return "null";
    const LineCounters& c = *counters;
    return "{\"framesWritten\":" + std::to_string(c.framesWritten) +
           ",\"bytesWritten\":" + std::to_string(c.bytesWritten) +
           ",\"movesDropped\":" + std::to_string(c.movesDropped) +
           ",\"writeFailures\":" + std::to_string(c.writeFailures) +
           ",\"writeTimeouts\":" + std::to_string(c.writeTimeouts) +
           ",\"reopens\":" + std::to_string(c.reopens) + "}";
}

std::string CameraCountersJson(const std::optional<CameraCounters>& counters) {
    if (!counters)
        return "null";
    const CameraCounters& c = *counters;
    return "{\"moves\":" + std::to_string(c.moves) + ",\"stops\":" + std::to_string(c.stops) +
           ",\"deadManStops\":" + std::to_string(c.deadManStops) +
           ",\"repeatedStops\":" + std::to_string(c.repeatedStops) +
           ",\"datagramsAccepted\":" + std::to_string(c.datagramsAccepted) +
           ",\"datagramsStale\":" + std::to_string(c.datagramsStale) +
           ",\"datagramsForeign\":" + std::to_string(c.datagramsForeign) +
           ",\"datagramsMalformed\":" + std::to_string(c.datagramsMalformed) +
           ",\"sessionsStarted\":" + std::to_string(c.sessionsStarted) +
           ",\"lastCommand\":" + JsonOptional(LastCommandText(c.lastCommand)) +
           ",\"lastCommandAgeMs\":" + JsonOptional(c.lastCommandAgeMs) + "}";
}

}  // namespace

size_t Utf8SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

std::optional<std::string> LastCommandText(uint64_t lastCommand) {
    const uint64_t code = lastCommand & 0xFFFF;
    switch (lastCommand >> 16) {
        case K47CALL_MOVE:
            return "move";
        case K47CALL_STOP:
            return "stop";
        case K47CALL_ENDMOTION:
            return "end motion";
        case K47CALL_COMMAND:
            return "command " + std::to_string(code);
        case K47CALL_MENU:
            return "menu " + std::to_string(code);
        default:
            return std::nullopt;
    }
}

HostStatus ReadHostStatus(CInstallationServer* server) {
    HostStatus status;
    status.readAtUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    if (server == nullptr)
        return status;
    for (const auto& protocol : server->ListProtocols())
        status.lines.push_back(ReadLine(protocol));
    for (const auto& camera : server->ListCameras())
        status.cameras.push_back(ReadCamera(camera));
    return status;
}

std::string JsonString(std::string_view text) {
    std::string json;
    json.reserve(text.size() + 2);
    json += '"';
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, at);
            if (length == 0) {
                json += "\\ufffd";
                ++at;
            } else {
                json.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        ++at;
        switch (c) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\r':
                json += "\\r";
                break;
            case '\t':
                json += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    json += escaped;
                } else {
                    json += static_cast<char>(c);
                }
        }
    }
    json += '"';
    return json;
}

std::string StatusJson(const HostStatus& status) {
    std::string json = "{\"lines\":[";
    for (size_t i = 0; i < status.lines.size(); ++i) {
        const LineStatus& line = status.lines[i];
        json += i == 0 ? "\n" : ",\n";
        json +=
            "{\"name\":" + JsonString(line.name) + ",\"protocol\":" + JsonString(line.protocol) +
            ",\"device\":" + JsonOptional(line.device) + ",\"state\":" + JsonString(line.state) +
            ",\"lastError\":" + JsonOptional(line.lastError) +
            ",\"counters\":" + LineCountersJson(line.counters) + "}";
    }
    json += "],\n\"cameras\":[";
    for (size_t i = 0; i < status.cameras.size(); ++i) {
        const CameraStatus& camera = status.cameras[i];
        json += i == 0 ? "\n" : ",\n";
        json += "{\"name\":" + JsonString(camera.name) + ",\"line\":" + JsonString(camera.line) +
                ",\"address\":" + JsonOptional(camera.address) +
                ",\"sessionOwner\":" + JsonOptional(camera.sessionOwner) +
                ",\"counters\":" + CameraCountersJson(camera.counters) + "}";
    }
    json += "]}\n";
    return json;
}

std::string DegradedNote(const HostStatus& status) {
    std::string note;
    for (const LineStatus& line : status.lines) {
        if (line.state != "down" && line.state != "stuck")
            continue;
        note += note.empty() ? ", degraded: " : "; ";
        note += "line \"" + line.name + "\" (" + line.device.value_or("") + ") is " + line.state;
    }
    return note;
}

std::string SummaryLine(const InstallationReport& report, CInstallationServer* server) {
    return std::to_string(report.protocolsConfigured) + " protocol(s) configured, " +
           std::to_string(report.camerasBound) + " camera(s) bound, " +
           std::to_string(report.problems.size()) + " problem(s)" +
           DegradedNote(ReadHostStatus(server));
}

http::Route StatusRoute(CInstallationServer* server) {
    http::Route route;
    route.match = http::PathMatch::kExact;
    route.path = "/status";
    route.methods = {"GET"};
    route.handler = [server](const http::HttpRequest&) {
        http::HttpResponse response;
        response.contentType = "application/json";
        response.body = StatusJson(ReadHostStatus(server));
        // A state of this moment: a cache in between would show a line up that is down.
        response.headers.emplace_back("Cache-Control", "no-store");
        return response;
    };
    return route;
}

}  // namespace k47host
