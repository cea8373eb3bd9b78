// The one platform header of the application code: the real Win32 API on Windows, our portable
// implementation of the same subset everywhere else (and in the Windows test build, which runs the
// application against the portable in-memory printer).
#pragma once

#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <share.h>
#include <windows.h>
#include <winspool.h>
#else
#include "portable/win32_api.h"
#endif
