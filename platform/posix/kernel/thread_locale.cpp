// Linux implementation file of the platform layer: may include Linux system headers.
// Thread locale: a per-thread LCID. Every thread starts with the user default locale, resolved
// to the one locale this platform has (en-US, 0x0409); the default pseudo-locales are resolved
// the same way when set, as Windows stores the concrete LCID. Code pages do not depend on it
// (every ANSI code page is UTF-8 here).
#include "errhandlingapi.h"
#include "winerror.h"
#include "winnls.h"

namespace {

constexpr LCID kDefaultLcid = 0x0409;

thread_local LCID t_locale = kDefaultLcid;

}  // namespace

// Accepts LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT and any well-formed concrete LCID (a
// non-neutral primary language, sort id in bits 16-19, nothing above).
EXTERN_C BOOL WINAPI SetThreadLocale(LCID Locale) {
    if (Locale == LOCALE_USER_DEFAULT || Locale == LOCALE_SYSTEM_DEFAULT) {
        t_locale = kDefaultLcid;
        return TRUE;
    }
    if ((Locale & 0xFFF00000u) != 0 || (Locale & 0x3FFu) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_locale = Locale;
    return TRUE;
}

EXTERN_C LCID WINAPI GetThreadLocale(void) {
    return t_locale;
}

EXTERN_C LCID WINAPI GetUserDefaultLCID(void) {
    return kDefaultLcid;
}

EXTERN_C LCID WINAPI GetSystemDefaultLCID(void) {
    return kDefaultLcid;
}
