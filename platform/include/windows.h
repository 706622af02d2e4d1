// The subset of the Windows API that the system calls, with Windows names, signatures and
// semantics, implemented on Linux by libk47platform. Nothing here includes a Linux header.
#pragma once

#include "winnt.h"
#include "winerror.h"
#include "guiddef.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "sysinfoapi.h"
#include "libloaderapi.h"
#include "winnls.h"
#include "winreg.h"
#include "winbase.h"
