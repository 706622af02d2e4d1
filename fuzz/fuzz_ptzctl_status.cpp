// Fuzzes ptzctl's reading of the host's status document (bytes from the network): parsing never
// crashes or recurses without bound, and what is shown of a parsed document holds no control
// character a terminal would act on (a name can carry an escape sequence).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/ptzctl/Status.h"

namespace {

void RequirePrintable(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F)
            std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view json(reinterpret_cast<const char*>(data), size);
    ptzctl::StatusDocument status;
    std::string error;
    if (!ptzctl::ParseStatus(json, &status, &error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    RequirePrintable(ptzctl::FormatList(status));
    for (const ptzctl::StatusCamera& camera : status.cameras) {
        std::optional<std::string> shown = ptzctl::FormatCameraStatus(status, camera.name);
        if (!shown)
            std::abort();  // a camera of the document is always found
        RequirePrintable(*shown);
    }
    return 0;
}
