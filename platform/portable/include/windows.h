// The whole Win32 API subset the application calls, as <windows.h> gathers it (and <shlobj.h>,
// which the application includes beside it).
#pragma once

#include "shellapi.h"
#include "shlobj.h"
#include "winbase.h"
#include "windef.h"
#include "wingdi.h"
#include "winspool.h"
#include "winuser.h"
