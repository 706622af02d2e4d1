// Linux-only additions of the platform layer (not part of the Windows API): version, UTF-8/UTF-16
// conversion, GUID text, error names. Everything here is in namespace k47.
#pragma once

#include "errors.h"
#include "strings.h"

namespace k47 {

const char* PlatformVersion() noexcept;

}  // namespace k47
