// KERNEL32 (and ADVAPI32's user name): errors and their words, files, directory search, locks,
// time, the machine and the process, as <winbase.h> declares them. C linkage, as the system's
// own: the Windows test build links the real KERNEL32.
#pragma once

#include "windef.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_PROTECT 19
#define ERROR_WRITE_FAULT 29
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_INVALID_PRINTER_NAME 1801
#define ERROR_INVALID_DATATYPE 1804
#define ERROR_NOT_FOUND 1168
#define ERROR_CANCELLED 1223
#define ERROR_INVALID_OWNER 1307
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_INVALID_INDEX 1413

#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_DEVICE 0x40
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Only the offset of a byte range (LockFileEx); no asynchronous input or output.
typedef struct _OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef enum _FILE_INFO_BY_HANDLE_CLASS {
    FileBasicInfo = 0,
    FileStandardInfo = 1,
    FileNameInfo = 2,
    FileRenameInfo = 3,
    FileDispositionInfo = 4,
} FILE_INFO_BY_HANDLE_CLASS;

typedef struct _FILE_DISPOSITION_INFO {
    BYTE DeleteFile;
} FILE_DISPOSITION_INFO;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define LOCKFILE_FAIL_IMMEDIATELY 0x00000001
#define LOCKFILE_EXCLUSIVE_LOCK 0x00000002
#define MAX_COMPUTERNAME_LENGTH 15
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

extern "C" {

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
// The system's words for an error code, ended by "\r\n" as Windows ends them. Only
// FORMAT_MESSAGE_FROM_SYSTEM into a caller's buffer is supported.
DWORD WINAPI FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                            LPSTR buffer, DWORD size, va_list* arguments);

// Directory search: `pattern` is a directory (backslash or slash separated) and a file name with
// the wildcards * and ?, matched without regard to case. Only regular files are reported, never
// through a symbolic link, in name order.
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found);
BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA found);
BOOL WINAPI FindClose(HANDLE search);
BOOL WINAPI DeleteFileA(LPCSTR path);
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);

// Files by handle, regular files only, never through a symbolic link. Opened for reading only, a
// share mode without FILE_SHARE_WRITE refuses a file that some process is writing
// (ERROR_SHARING_VIOLATION), as Windows does. A file created takes the write permissions its
// folder grants others, as a Windows file inherits its folder's access.
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method);
BOOL WINAPI SetEndOfFile(HANDLE file);
// A lock on a byte range, held until the handle is closed (or the process ends, however it ends).
// It is seen by every process on the machine, and on network file systems by other machines. On
// Linux an open file description lock; LOCKFILE_FAIL_IMMEDIATELY is required.
BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD size_low, DWORD size_high,
                       LPOVERLAPPED overlapped);
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
// FileDispositionInfo only, on a handle opened with DELETE: the file goes, provided its name
// still names the file this handle has open.
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info,
                                       DWORD size);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
void WINAPI GetSystemTimeAsFileTime(FILETIME* now);

BOOL WINAPI CloseHandle(HANDLE handle);

// Milliseconds on a clock that only goes forward, whatever is done to the time of day.
unsigned long long WINAPI GetTickCount64(void);
void WINAPI Sleep(DWORD milliseconds);
BOOL WINAPI GetComputerNameA(LPSTR buffer, LPDWORD size);
DWORD WINAPI GetCurrentProcessId(void);
// A Linux program has its standard streams already: there is no console to attach to.
#define ATTACH_PARENT_PROCESS ((DWORD)-1)
BOOL WINAPI AttachConsole(DWORD process);
// The name the user logged in with (ADVAPI32).
BOOL WINAPI GetUserNameA(LPSTR buffer, LPDWORD size);

} // extern "C"

// The C runtime's shared open. Backslashes separate directories. Only a regular file opens (no
// directory, device, FIFO or symbolic link); with _SH_DENYWR a file that some process has open
// for writing does not open either (errno EACCES), as on Windows. (The Windows test build uses
// the C runtime's own.)
#include <cstdio>
#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
FILE* _fsopen(const char* path, const char* mode, int share);
// The file handle behind a C runtime descriptor; it stays the runtime's (not for CloseHandle).
intptr_t _get_osfhandle(int fd);
inline int _fileno(FILE* file) {
    return fileno(file);
}
#endif

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

// The application's entry point, called by the portable layer's main().
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
