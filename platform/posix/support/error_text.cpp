// The message texts and symbolic names of the error codes in winerror.h, and the two functions
// built on them: FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM) and the k47 naming helpers. One
// table is the source of both. Texts are the Windows (English) system message texts; the
// FormatMessage form ends in CR LF. Read-only data: thread-safe.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "k47/errors.h"
#include "objbase.h"
#include "windows.h"

namespace {

enum class Kind { Win32, Hresult };

struct ErrorEntry {
    Kind kind;
    uint32_t code;
    const char* name;
    // Null for an HRESULT of FACILITY_WIN32: its text is the Win32 code's.
    const char* text;
};

#define W32(name, text) \
    { Kind::Win32, static_cast<uint32_t>(name), #name, text }
#define HR(name, text) \
    { Kind::Hresult, static_cast<uint32_t>(name), #name, text }

constexpr ErrorEntry kErrors[] = {
    W32(ERROR_SUCCESS, "The operation completed successfully."),
    W32(ERROR_INVALID_FUNCTION, "Incorrect function."),
    W32(ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."),
    W32(ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."),
    W32(ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."),
    W32(ERROR_ACCESS_DENIED, "Access is denied."),
    W32(ERROR_INVALID_HANDLE, "The handle is invalid."),
    W32(ERROR_NOT_ENOUGH_MEMORY,
        "Not enough memory resources are available to process this command."),
    W32(ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."),
    W32(ERROR_INVALID_DATA, "The data is invalid."),
    W32(ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."),
    W32(ERROR_NOT_READY, "The device is not ready."),
    W32(ERROR_BAD_COMMAND, "The device does not recognize the command."),
    W32(ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect."),
    W32(ERROR_WRITE_FAULT, "The system cannot write to the specified device."),
    W32(ERROR_READ_FAULT, "The system cannot read from the specified device."),
    W32(ERROR_GEN_FAILURE, "A device attached to the system is not functioning."),
    W32(ERROR_SHARING_VIOLATION,
        "The process cannot access the file because it is being used by another process."),
    W32(ERROR_LOCK_VIOLATION,
        "The process cannot access the file because another process has locked a portion of the "
        "file."),
    W32(ERROR_HANDLE_EOF, "Reached the end of the file."),
    W32(ERROR_NOT_SUPPORTED, "The request is not supported."),
    W32(ERROR_NETNAME_DELETED, "The specified network name is no longer available."),
    W32(ERROR_FILE_EXISTS, "The file exists."),
    W32(ERROR_INVALID_PARAMETER, "The parameter is incorrect."),
    W32(ERROR_BROKEN_PIPE, "The pipe has been ended."),
    W32(ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."),
    W32(ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."),
    W32(ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."),
    W32(ERROR_MOD_NOT_FOUND, "The specified module could not be found."),
    W32(ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."),
    W32(ERROR_DIR_NOT_EMPTY, "The directory is not empty."),
    W32(ERROR_BAD_PATHNAME, "The specified path is invalid."),
    W32(ERROR_BUSY, "The requested resource is in use."),
    W32(ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."),
    W32(ERROR_ENVVAR_NOT_FOUND,
        "The system could not find the environment option that was entered."),
    W32(ERROR_MORE_DATA, "More data is available."),
    W32(ERROR_NO_MORE_ITEMS, "No more data is available."),
    W32(ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."),
    W32(ERROR_MR_MID_NOT_FOUND,
        "The system cannot find message text for message number 0x%1 in the message file for %2."),
    W32(ERROR_OPERATION_ABORTED,
        "The I/O operation has been aborted because of either a thread exit or an application "
        "request."),
    W32(ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."),
    W32(ERROR_IO_PENDING, "Overlapped I/O operation is in progress."),
    W32(ERROR_NOACCESS, "Invalid access to memory location."),
    W32(ERROR_INVALID_FLAGS, "Invalid flags."),
    W32(ERROR_BADDB, "The configuration registry database is corrupt."),
    W32(ERROR_BADKEY, "The configuration registry key is invalid."),
    W32(ERROR_CANTOPEN, "The configuration registry key could not be opened."),
    W32(ERROR_CANTREAD, "The configuration registry key could not be read."),
    W32(ERROR_CANTWRITE, "The configuration registry key could not be written."),
    W32(ERROR_REGISTRY_CORRUPT,
        "The registry is corrupted. The structure of one of the files containing registry data is "
        "corrupted, "
        "or the system's memory image of the file is corrupted, or the file could not be recovered "
        "because the "
        "alternate copy or log was absent or corrupted."),
    W32(ERROR_REGISTRY_IO_FAILED,
        "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
        "read in, or "
        "write out, or flush, one of the files that contain the system's image of the registry."),
    W32(ERROR_KEY_DELETED,
        "Illegal operation attempted on a registry key that has been marked for deletion."),
    W32(ERROR_NO_UNICODE_TRANSLATION,
        "No mapping for the Unicode character exists in the target multi-byte code page."),
    W32(ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed."),
    W32(ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."),
    W32(ERROR_NOT_FOUND, "Element not found."),
    W32(ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."),
    W32(ERROR_INTERNAL_ERROR, "An internal error occurred."),
    W32(ERROR_TIMEOUT, "This operation returned because the timeout period expired."),

    // WinHTTP's own message texts.
    W32(ERROR_WINHTTP_TIMEOUT, "The operation timed out"),
    W32(ERROR_WINHTTP_INTERNAL_ERROR,
        "An internal error occurred in the Microsoft Windows HTTP Services"),
    W32(ERROR_WINHTTP_INVALID_URL, "The URL is invalid"),
    W32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol"),
    W32(ERROR_WINHTTP_NAME_NOT_RESOLVED, "The server name or address could not be resolved"),
    W32(ERROR_WINHTTP_OPERATION_CANCELLED, "The operation has been canceled"),
    W32(ERROR_WINHTTP_INCORRECT_HANDLE_STATE,
        "The requested operation cannot be carried out because the handle supplied is not in the "
        "correct state"),
    W32(ERROR_WINHTTP_CANNOT_CONNECT, "A connection with the server could not be established"),
    W32(ERROR_WINHTTP_CONNECTION_ERROR, "The connection with the server was terminated abnormally"),
    W32(ERROR_WINHTTP_INVALID_SERVER_RESPONSE,
        "The server returned an invalid or unrecognized response"),
    W32(ERROR_WINHTTP_SECURE_FAILURE, "A security error occurred"),
    W32(ERROR_WINHTTP_SECURE_CERT_DATE_INVALID,
        "The date in the certificate is invalid or has expired"),
    W32(ERROR_WINHTTP_SECURE_CERT_CN_INVALID,
        "The host name in the certificate is invalid or does not match"),
    W32(ERROR_WINHTTP_SECURE_INVALID_CA, "The certificate authority is invalid or incorrect"),
    W32(ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE,
        "The certificate is not valid for the requested usage"),

    W32(WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."),
    W32(WSAEBADF, "The file handle supplied is not valid."),
    W32(WSAEACCES,
        "An attempt was made to access a socket in a way forbidden by its access permissions."),
    W32(WSAEFAULT,
        "The system detected an invalid pointer address in attempting to use a pointer argument in "
        "a call."),
    W32(WSAEINVAL, "An invalid argument was supplied."),
    W32(WSAEMFILE, "Too many open sockets."),
    W32(WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."),
    W32(WSAEINPROGRESS, "A blocking operation is currently executing."),
    W32(WSAEALREADY,
        "An operation was attempted on a non-blocking socket that already had an operation in "
        "progress."),
    W32(WSAENOTSOCK, "An operation was attempted on something that is not a socket."),
    W32(WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket."),
    W32(WSAEMSGSIZE,
        "A message sent on a datagram socket was larger than the internal message buffer or some "
        "other network "
        "limit, or the buffer used to receive a datagram into was smaller than the datagram "
        "itself."),
    W32(WSAEPROTOTYPE,
        "A protocol was specified in the socket function call that does not support the semantics "
        "of the socket "
        "type requested."),
    W32(WSAENOPROTOOPT,
        "An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
        "setsockopt call."),
    W32(WSAEPROTONOSUPPORT,
        "The requested protocol has not been configured into the system, or no implementation for "
        "it exists."),
    W32(WSAESOCKTNOSUPPORT,
        "The support for the specified socket type does not exist in this address family."),
    W32(WSAEOPNOTSUPP,
        "The attempted operation is not supported for the type of object referenced."),
    W32(WSAEPFNOSUPPORT,
        "The protocol family has not been configured into the system or no implementation for it "
        "exists."),
    W32(WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."),
    W32(WSAEADDRINUSE,
        "Only one usage of each socket address (protocol/network address/port) is normally "
        "permitted."),
    W32(WSAEADDRNOTAVAIL, "The requested address is not valid in its context."),
    W32(WSAENETDOWN, "A socket operation encountered a dead network."),
    W32(WSAENETUNREACH, "A socket operation was attempted to an unreachable network."),
    W32(WSAENETRESET,
        "The connection has been broken due to keep-alive activity detecting a failure while the "
        "operation was "
        "in progress."),
    W32(WSAECONNABORTED,
        "An established connection was aborted by the software in your host machine."),
    W32(WSAECONNRESET, "An existing connection was forcibly closed by the remote host."),
    W32(WSAENOBUFS,
        "An operation on a socket could not be performed because the system lacked sufficient "
        "buffer space or "
        "because a queue was full."),
    W32(WSAEISCONN, "A connect request was made on an already connected socket."),
    W32(WSAENOTCONN,
        "A request to send or receive data was disallowed because the socket is not connected and "
        "(when sending "
        "on a datagram socket using a sendto call) no address was supplied."),
    W32(WSAESHUTDOWN,
        "A request to send or receive data was disallowed because the socket had already been shut "
        "down in that "
        "direction with a previous shutdown call."),
    W32(WSAETIMEDOUT,
        "A connection attempt failed because the connected party did not properly respond after a "
        "period of "
        "time, or established connection failed because connected host has failed to respond."),
    W32(WSAECONNREFUSED,
        "No connection could be made because the target machine actively refused it."),
    W32(WSAEHOSTDOWN, "A socket operation failed because the destination host was down."),
    W32(WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."),
    W32(WSAEPROCLIM,
        "A Windows Sockets implementation may have a limit on the number of applications that may "
        "use it "
        "simultaneously."),
    W32(WSASYSNOTREADY,
        "WSAStartup cannot function at this time because the underlying system it uses to provide "
        "network "
        "services is currently unavailable."),
    W32(WSAVERNOTSUPPORTED, "The Windows Sockets version requested is not supported."),
    W32(WSANOTINITIALISED,
        "Either the application has not called WSAStartup, or WSAStartup failed."),
    W32(WSAEDISCON,
        "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful "
        "shutdown "
        "sequence."),
    W32(WSATYPE_NOT_FOUND, "The specified class was not found."),
    W32(WSAHOST_NOT_FOUND, "No such host is known."),
    W32(WSATRY_AGAIN,
        "This is usually a temporary error during hostname resolution and means that the local "
        "server did not "
        "receive a response from an authoritative server."),
    W32(WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."),
    W32(WSANO_DATA, "The requested name is valid, but no data of the requested type was found."),

    // HRESULT names; S_OK and S_FALSE share their texts with the Win32 codes 0 and 1, as the
    // system message table is keyed by number.
    HR(S_OK, nullptr),
    HR(S_FALSE, nullptr),
    HR(E_PENDING, "The data necessary to complete this operation is not yet available."),
    HR(E_NOTIMPL, "Not implemented"),
    HR(E_NOINTERFACE, "No such interface supported"),
    HR(E_POINTER, "Invalid pointer"),
    HR(E_ABORT, "Operation aborted"),
    HR(E_FAIL, "Unspecified error"),
    HR(E_UNEXPECTED, "Catastrophic failure"),
    HR(E_ACCESSDENIED, nullptr),
    HR(E_HANDLE, nullptr),
    HR(E_OUTOFMEMORY, nullptr),
    HR(E_INVALIDARG, nullptr),
    HR(CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)"),
    HR(CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"),
    HR(REGDB_E_READREGDB, "Could not read key from registry"),
    HR(REGDB_E_WRITEREGDB, "Could not write key to registry"),
    HR(REGDB_E_KEYMISSING, "Could not find the key in the registry"),
    HR(REGDB_E_CLASSNOTREG, "Class not registered"),
    HR(REGDB_E_IIDNOTREG, "Interface not registered"),
    HR(MK_E_SYNTAX, "Invalid syntax"),
    HR(CO_E_NOTINITIALIZED, "CoInitialize has not been called."),
    HR(CO_E_CLASSSTRING, "Invalid class string"),
    HR(CO_E_APPNOTFOUND, "Application not found"),
    HR(CO_E_DLLNOTFOUND, "DLL for class not found"),
    HR(CO_E_ERRORINDLL, "Error in the DLL"),
    {Kind::Hresult, 0x800401FBu, "CO_E_OBJISREG", "Object is already registered"},
    HR(CO_E_OBJNOTREG, "Object is not registered"),
    HR(CO_E_OBJNOTCONNECTED, "Object is not connected to server"),
    HR(CO_E_APPDIDNTREG, "Application was launched but it didn't register a class factory"),
    HR(CO_E_SERVER_EXEC_FAILURE, "Server execution failed"),
    HR(RPC_E_CALL_REJECTED, "Call was rejected by callee."),
    HR(RPC_E_SERVER_DIED,
       "The callee (server [not server application]) is not available and disappeared; all "
       "connections are "
       "invalid. The call may have executed."),
    HR(RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients."),
    HR(RPC_E_SERVERFAULT, "The server threw an exception."),
    HR(RPC_E_CHANGED_MODE, "Cannot change thread mode after it is set."),
    HR(RPC_E_INVALID_DATA, "Received data is invalid."),
    HR(RPC_E_WRONG_THREAD,
       "The application called an interface that was marshalled for a different thread."),
    HR(RPC_E_SERVER_DIED_DNE,
       "The callee (server [not server application]) is not available and disappeared; all "
       "connections are "
       "invalid. The call did not execute."),
    HR(DISP_E_BADVARTYPE, "Bad variable type."),
    HR(DISP_E_TYPEMISMATCH, "Type mismatch."),
    HR(DISP_E_OVERFLOW, "Out of present range."),
    HR(TYPE_E_REGISTRYACCESS, "Error accessing the OLE registry."),
    HR(TYPE_E_LIBNOTREGISTERED, "Library not registered."),
    // No system text exists for the self-registration codes; these are the SDK's descriptions.
    HR(SELFREG_E_TYPELIB, "Failed to register/unregister type library."),
    HR(SELFREG_E_CLASS, "Failed to register/unregister class."),
    HR(STG_E_INVALIDFUNCTION, "Unable to perform requested operation."),
    HR(STG_E_ACCESSDENIED, "Access Denied."),
};

#undef W32
#undef HR

const ErrorEntry* Find(Kind kind, uint32_t code) {
    for (const ErrorEntry& e : kErrors)
        if (e.kind == kind && e.code == code)
            return &e;
    return nullptr;
}

bool IsWin32Hresult(uint32_t value) {
    return (value & 0xFFFF0000u) == (0x80000000u | (FACILITY_WIN32 << 16));
}

// The text a message number has in the system table (no CR LF), or null.
const char* MessageText(uint32_t id) {
    if (id < 0x80000000u) {
        const ErrorEntry* e = Find(Kind::Win32, id);
        return e != nullptr ? e->text : nullptr;
    }
    if (const ErrorEntry* e = Find(Kind::Hresult, id); e != nullptr && e->text != nullptr)
        return e->text;
    if (IsWin32Hresult(id))
        return MessageText(id & 0xFFFF);
    return nullptr;
}

}  // namespace

EXTERN_C DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                     DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                     void* Arguments) {
    (void)lpSource;
    (void)dwLanguageId;  // only the English texts exist
    constexpr DWORD kKnown = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                             FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & ~kKnown) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = MessageText(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // Inserts (%1) are only left in place with IGNORE_INSERTS; argument lists are not supported.
    if ((dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && std::strchr(text, '%') != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    (void)Arguments;
    std::string message = text;
    // Width 0: the text as stored, ending in CR LF. FORMAT_MESSAGE_MAX_WIDTH_MASK: one line, no
    // line end. Other widths are not supported and give the stored text.
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK)
        message += "\r\n";
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        auto* block = static_cast<char*>(std::malloc(message.size() + 1));
        if (block == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(block, message.c_str(), message.size() + 1);
        *reinterpret_cast<LPSTR*>(lpBuffer) = block;
    } else {
        if (nSize < message.size() + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, message.c_str(), message.size() + 1);
    }
    return static_cast<DWORD>(message.size());
}

// Blocks handed out by FormatMessageA(ALLOCATE_BUFFER) are malloc blocks.
EXTERN_C HANDLE WINAPI LocalFree(HANDLE hMem) {
    std::free(hMem);
    return nullptr;
}

namespace k47 {

const char* Win32ErrorName(DWORD code) noexcept {
    const ErrorEntry* e = Find(Kind::Win32, code);
    return e != nullptr ? e->name : nullptr;
}

const char* ErrorName(HRESULT hr) noexcept {
    uint32_t value = static_cast<uint32_t>(hr);
    if (hr < 0 || value <= 1) {
        const ErrorEntry* e = Find(Kind::Hresult, value);
        return e != nullptr ? e->name : nullptr;
    }
    return Win32ErrorName(value);
}

const char* ErrorText(HRESULT hr) noexcept {
    return MessageText(static_cast<uint32_t>(hr));
}

std::string DescribeHresult(HRESULT hr) {
    uint32_t value = static_cast<uint32_t>(hr);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", value);
    std::string name;
    if (const char* n = ErrorName(hr)) {
        name = n;
    } else if (IsWin32Hresult(value)) {
        if (const char* w = Win32ErrorName(value & 0xFFFF))
            name = std::string("HRESULT_FROM_WIN32(") + w + ")";
    }
    std::string result = name.empty() ? std::string(hex) : name + " (" + hex + ")";
    if (const char* text = ErrorText(hr))
        result += std::string(": ") + text;
    return result;
}

}  // namespace k47
