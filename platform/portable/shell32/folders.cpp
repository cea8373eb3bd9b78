// The user's known folders. Only the local application data folder, which on Linux is the user's
// state folder, and which must be the user's alone: what zvspool keeps there decides what is
// printed, so no one else may plant or change it.
#include "platform/portable/include/shlobj.h"
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/errors.h"
#include "platform/portable/kernel32/file_services.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The home folder: HOME, else the account's, never a guess.
std::string home_folder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    struct passwd* pw = getpwuid(geteuid());
    return pw && pw->pw_dir && pw->pw_dir[0] == '/' ? pw->pw_dir : "";
}

std::string state_home() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return state;
    std::string home = home_folder();
    return home.empty() ? "" : home + "/.local/state";
}

HRESULT failed(DWORD error) {
    SetLastError(error);
    return HRESULT_FROM_WIN32(error);
}

// Whether `path` (a folder that exists) is safe: a real folder, owned by this user (or by root,
// for the folders above the user's own), that no one else may change, unless only its owners may
// remove what is in it (the sticky bit, as on /tmp). Empty when it is; why not, when not.
std::string unsafe(const std::string& path, bool must_be_ours) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return path + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return path + " is not a folder";
    if (st.st_uid != geteuid() && (must_be_ours || st.st_uid != 0))
        return path + " belongs to another user (" + std::to_string(st.st_uid) + ")";
    // A group of the user's own (one group per user, as Debian makes them) is the user.
    mode_t others = S_IWOTH | (st.st_gid == getegid() ? 0 : S_IWGRP);
    if ((st.st_mode & others) && (must_be_ours || !(st.st_mode & S_ISVTX)))
        return path + " may be changed by other users";
    return {};
}

} // namespace

HRESULT WINAPI SHGetFolderPathAndSubDirA(HWND, int csidl, HANDLE, DWORD, LPCSTR sub_folder,
                                         LPSTR path) {
    if (!path || (csidl & ~CSIDL_FLAG_CREATE) != CSIDL_LOCAL_APPDATA)
        return failed(ERROR_INVALID_PARAMETER);
    std::string base = state_home();
    if (base.empty())
        return HRESULT_FROM_WIN32(
            zvp::set_last_error_message("no home folder: neither HOME nor the user's account "
                                        "names one"));
    std::string folder = base;
    if (sub_folder && *sub_folder)
        folder += "/" + zvp::native_path(sub_folder);
    if (folder.size() >= MAX_PATH)
        return failed(ERROR_FILENAME_EXCED_RANGE);
    std::string failed_folder;
    if (csidl & CSIDL_FLAG_CREATE) {
        if (int e = zvp::make_folders(folder, 0700, &failed_folder))
            return HRESULT_FROM_WIN32(zvp::set_last_error_message("cannot create " + failed_folder +
                                                                  ": " + std::strerror(e)));
    }
    struct stat st;
    if (!(csidl & CSIDL_FLAG_CREATE) && lstat(folder.c_str(), &st) != 0 && errno == ENOENT)
        return failed(ERROR_PATH_NOT_FOUND);
    // The folder itself must be ours alone; the ones above it must not let others replace it.
    std::string why = unsafe(folder, true);
    for (size_t slash = folder.rfind('/'); why.empty() && slash != 0 && slash != std::string::npos;
         slash = folder.rfind('/', slash - 1))
        why = unsafe(folder.substr(0, slash), false);
    if (!why.empty()) {
        zvp::set_last_error_message(why + "; zvspool keeps its state only where no one else can "
                                          "change it");
        return HRESULT_FROM_WIN32(ERROR_INVALID_OWNER);
    }
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    return S_OK;
}

BOOL WINAPI IsUserAnAdmin(void) {
    return geteuid() == 0 ? TRUE : FALSE;
}
