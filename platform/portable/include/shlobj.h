// SHELL32: the user's known folders, as <shlobj.h> declares them.
#pragma once

#include "windef.h"

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x)                                                                      \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

extern "C" {

// The folder `csidl` names with `sub_folder` under it, into `path` (MAX_PATH bytes). Only
// CSIDL_LOCAL_APPDATA: on Linux the user's state folder ($XDG_STATE_HOME, else ~/.local/state,
// the home taken from the user's account when HOME is not set). As on Windows, where that folder
// is the user's alone, it must be: a folder another user owns, or one others may write to, is
// refused (HRESULT_FROM_WIN32(ERROR_INVALID_OWNER), the last error saying which and why).
// CSIDL_FLAG_CREATE makes what is missing, for the user alone.
HRESULT WINAPI SHGetFolderPathAndSubDirA(HWND window, int csidl, HANDLE token, DWORD flags,
                                         LPCSTR sub_folder, LPSTR path);

// Whether the program runs with the administrator's rights: on Linux, as root.
BOOL WINAPI IsUserAnAdmin(void);

} // extern "C"
