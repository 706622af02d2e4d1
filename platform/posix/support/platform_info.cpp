// Linux implementation file of the platform layer: may include Linux system headers.
#include "k47/platform.h"

namespace k47 {

const char* PlatformVersion() noexcept {
    return "1.0";
}

}  // namespace k47
