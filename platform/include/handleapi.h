// Closing kernel object handles (events, timers, mutexes, threads, files).
#pragma once
#include "winnt.h"

EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
