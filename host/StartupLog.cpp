// Dropping the library's handler lines while the installation is built.
#include "host/StartupLog.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace k47host {

bool QuietLibraryFailures::IsHandlerLine(std::string_view line) {
    // The two formats of K47Global's handlers: "<what> - handler <file> line <n>", and
    // "<time>: thread <id> Unhandled Exception - handler <file> line <n>" for the unexpected.
    return line.find(" - handler ") != std::string_view::npos &&
           line.find("Unhandled Exception") == std::string_view::npos;
}

QuietLibraryFailures::QuietLibraryFailures(bool verbose) : active_(!verbose) {
    if (!active_)
        return;
    // The sink forwards to the one it replaces, which SetSink gives only once it is installed.
    auto previous = std::make_shared<CGlobalErrorHandlingEnvironment::Sink>();
    *previous = g_ErrorHandling.SetSink([previous](CGlobalErrorHandlingEnvironment::Channel channel,
                                                   std::string_view line) {
        if (channel == CGlobalErrorHandlingEnvironment::Channel::Log && IsHandlerLine(line))
            return;
        if (*previous) {
            (*previous)(channel, line);
            return;
        }
        // The default sink's form; it cannot be called from here (the log's lock is held).
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        std::fprintf(stderr, "%s %s%.*s\n", g_ErrorHandling.GetDateAndTimeString(now).c_str(),
                     channel == CGlobalErrorHandlingEnvironment::Channel::Debug ? "[debug] " : "",
                     static_cast<int>(line.size()), line.data());
    });
    previous_ = *previous;
}

QuietLibraryFailures::~QuietLibraryFailures() {
    if (active_)
        g_ErrorHandling.SetSink(std::move(previous_));
}

}  // namespace k47host
