// Linux implementation file of the platform layer: may include Linux system headers.
// The Windows entry points of files on serial devices: CreateFileA, GetCommState/SetCommState,
// GetCommTimeouts/SetCommTimeouts, PurgeComm, ReadFile, WriteFile, FlushFileBuffers. They check
// their arguments, find the CommFile behind the handle and report its result through
// SetLastError. Only serial devices and pseudo-terminals can be opened; overlapped I/O is not
// offered (FILE_FLAG_OVERLAPPED and an OVERLAPPED argument are refused).
#include <memory>

#include "comm/comm_file.h"
#include "errhandlingapi.h"
#include "winbase.h"
#include "winerror.h"

namespace {

using k47::comm::CommFile;

BOOL Report(DWORD error) {
    if (error != ERROR_SUCCESS) {
        k47::kernel::SetError(error);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                   HANDLE /*hTemplateFile*/) {
    // The share mode is not consulted: a comm port is exclusive whatever the caller asks, as on
    // Windows.
    if (lpFileName == nullptr) {
        k47::kernel::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName[0] == '\0') {
        k47::kernel::SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING || (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
        k47::kernel::SetError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<CommFile> file = CommFile::Open(lpFileName, dwDesiredAccess, &error);
    if (!file) {
        k47::kernel::SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = k47::kernel::InsertHandle(std::move(file));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

EXTERN_C BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpDCB == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->GetState(lpDCB));
}

EXTERN_C BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpDCB == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->SetState(*lpDCB));
}

EXTERN_C BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpCommTimeouts == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->GetTimeouts(lpCommTimeouts));
}

EXTERN_C BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpCommTimeouts == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->SetTimeouts(*lpCommTimeouts));
}

EXTERN_C BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    return Report(file->Purge(dwFlags));
}

// Synchronous only. lpNumberOfBytesRead is required (Windows allows it to be null only with an
// OVERLAPPED, which is not offered here); it holds the bytes read even when the call fails.
EXTERN_C BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpNumberOfBytesRead == nullptr || lpOverlapped != nullptr ||
        (lpBuffer == nullptr && nNumberOfBytesToRead != 0)) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead));
}

EXTERN_C BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpNumberOfBytesWritten == nullptr || lpOverlapped != nullptr ||
        (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    return Report(file->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten));
}

EXTERN_C BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto file = k47::kernel::LookupHandleAs<CommFile>(hFile);
    if (!file) {
        return FALSE;
    }
    return Report(file->Flush());
}
