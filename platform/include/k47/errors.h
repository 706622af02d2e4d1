// Linux-only error helpers for tools and logs: the symbolic name of an HRESULT, Win32 or Winsock
// error code and a one-line description with the Windows message text. Both come from the same
// table as FormatMessageA's texts. Thread-safe; returned names are static strings.
#pragma once

#include <string>

#include "../winerror.h"

namespace k47 {

// The name of an HRESULT or error code: "S_OK" (0), "S_FALSE" (1), "E_INVALIDARG", ...; a
// positive value other than 0 and 1 is taken as a Win32 or Winsock code ("ERROR_FILE_NOT_FOUND",
// "WSAECONNREFUSED"). Null when the value has no name.
const char* ErrorName(HRESULT hr) noexcept;
// The name of a Win32 or Winsock error code (GetLastError, WSAGetLastError): 0 is
// "ERROR_SUCCESS", 1 "ERROR_INVALID_FUNCTION". Null when unknown.
const char* Win32ErrorName(DWORD code) noexcept;
// The message text without the trailing CR LF, or null. An HRESULT of FACILITY_WIN32 gives the
// text of its Win32 code.
const char* ErrorText(HRESULT hr) noexcept;

// "E_INVALIDARG (0x80070057): The parameter is incorrect.";
// "HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) (0x80070002): The system cannot find the file
// specified."; "0x80041234" when nothing is known.
std::string DescribeHresult(HRESULT hr);

}  // namespace k47
