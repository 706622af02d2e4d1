// Mapping of errno values from Linux calls to the Win32 error codes the platform layer reports
// through SetLastError. Stateless and thread-safe.
#pragma once

#include <cerrno>

#include "winerror.h"

namespace k47::support {

inline DWORD Win32ErrorFromErrno(int error) noexcept {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
        case EAGAIN:  // thread creation: out of threads or memory
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EPERM:
        case EACCES:
            return ERROR_ACCESS_DENIED;
        case EFAULT:
            return ERROR_NOACCESS;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace k47::support
