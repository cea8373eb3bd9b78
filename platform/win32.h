// The one platform header of the application code: the real Win32 API on Windows, our portable
// implementation of the same subset everywhere else (and in the Windows test build, which runs the
// application against the portable in-memory printer).
#pragma once

#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <share.h>
#include <shlobj.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>
#include <winspool.h>
// The Windows spooler has stored a job durably by the time EndDoc returns.
#define ZV_SPOOLER_STORES_JOBS_AT_END_DOC 1
#else
#include "portable/include/windows.h"
// The portable printers say when a job is done, and must be asked: CUPS takes a job before it has
// stored it durably (it writes its job files lazily).
#define ZV_SPOOLER_STORES_JOBS_AT_END_DOC 0
#endif

#include "platform/spooler_jobs.h"
