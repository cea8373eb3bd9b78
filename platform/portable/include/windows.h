// The whole Win32 API subset the application calls, as <windows.h> gathers it.
#pragma once

#include "winbase.h"
#include "windef.h"
#include "wingdi.h"
#include "winspool.h"
#include "winuser.h"
