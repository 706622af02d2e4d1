// The scoped file descriptor of the POSIX layer: the public k47::UniqueFd (k47/unique_fd.h), so
// the platform and the tools share one class.
#pragma once

#include "k47/unique_fd.h"

namespace k47::support {

using k47::FdTraits;
using k47::ScopedGeneric;
using k47::UniqueFd;

}  // namespace k47::support
