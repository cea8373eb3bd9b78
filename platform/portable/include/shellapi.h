// The notification area (SHELL32): on Linux its balloons are desktop notifications (the
// freedesktop notification service), its icon a status icon where the desktop has a tray.
#pragma once

#include "windef.h"

#define NIM_ADD 0x0
#define NIM_MODIFY 0x1
#define NIM_DELETE 0x2

#define NIF_MESSAGE 0x1
#define NIF_ICON 0x2
#define NIF_TIP 0x4
#define NIF_INFO 0x10

#define NIIF_NONE 0x0
#define NIIF_INFO 0x1
#define NIIF_WARNING 0x2

typedef struct {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    UINT uTimeout;
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

BOOL WINAPI Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);
