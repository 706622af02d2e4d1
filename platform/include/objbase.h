// The COM headers an in-process server includes.
#pragma once

#include "windows.h"
#include "unknwn.h"
#include "objidl.h"
#include "combaseapi.h"
#include "oleauto.h"
