// While the installation is built, the library logs each failure it caught in its own terms
// ("Win32 error 2 (...) raised at SerialPTZ line 102 - handler SerialPTZ line 69"); the host then
// reports the same failure as a problem in words, with the element and what to do. A
// QuietLibraryFailures drops those handler lines while it lives, unless verbose, and passes every
// other line on unchanged (to the sink in force before it, or as the default sink writes).
// Unexpected failures ("Unhandled Exception - handler ...") are always passed on.
//
// Threading: create and destroy on one thread; lines may arrive from any thread meanwhile.
#pragma once

#include <string_view>

#include "common/K47Global.h"

namespace k47host {

class QuietLibraryFailures {
  public:
    explicit QuietLibraryFailures(bool verbose);
    ~QuietLibraryFailures();
    QuietLibraryFailures(const QuietLibraryFailures&) = delete;
    QuietLibraryFailures& operator=(const QuietLibraryFailures&) = delete;

    // Whether a log line is a handled failure as the library words it.
    static bool IsHandlerLine(std::string_view line);

  private:
    bool active_;
    CGlobalErrorHandlingEnvironment::Sink previous_;
};

}  // namespace k47host
