// The subset of the Win32 API that zvspool calls, declared with the platform's names, records and
// values, so that the application code builds unchanged against this layer or against <windows.h>.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY

#define DECLARE_HANDLE(name)                                                                       \
    struct name##__ {                                                                              \
        int unused;                                                                                \
    };                                                                                             \
    typedef struct name##__* name

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef float FLOAT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t UINT_PTR;
typedef void* HANDLE;
typedef HANDLE HGDIOBJ;
typedef WORD ATOM;
typedef DWORD COLORREF;

DECLARE_HANDLE(HDC);
DECLARE_HANDLE(HFONT);
DECLARE_HANDLE(HBRUSH);
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HICON);
typedef HICON HCURSOR;

#define TRUE 1
#define FALSE 0
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define MAKEINTRESOURCEA(i) ((LPSTR)((uintptr_t)((WORD)(i))))
#define RGB(r, g, b)                                                                               \
    ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *LPSIZE;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagXFORM {
    FLOAT eM11;
    FLOAT eM12;
    FLOAT eM21;
    FLOAT eM22;
    FLOAT eDx;
    FLOAT eDy;
} XFORM;

// ---- GDI: fonts -------------------------------------------------------------------------------

#define LF_FACESIZE 32

typedef struct tagLOGFONTA {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    CHAR lfFaceName[LF_FACESIZE];
} LOGFONTA, *LPLOGFONTA;

typedef struct tagTEXTMETRICA {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
    LONG tmOverhang;
    LONG tmDigitizedAspectX;
    LONG tmDigitizedAspectY;
    BYTE tmFirstChar;
    BYTE tmLastChar;
    BYTE tmDefaultChar;
    BYTE tmBreakChar;
    BYTE tmItalic;
    BYTE tmUnderlined;
    BYTE tmStruckOut;
    BYTE tmPitchAndFamily;
    BYTE tmCharSet;
} TEXTMETRICA, *LPTEXTMETRICA;

#define FW_NORMAL 400
#define FW_MEDIUM 500
#define FW_BOLD 700

#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1
#define SYMBOL_CHARSET 2
#define RUSSIAN_CHARSET 204
#define EASTEUROPE_CHARSET 238

#define DEFAULT_PITCH 0
#define FIXED_PITCH 1
#define VARIABLE_PITCH 2

#define TMPF_FIXED_PITCH 0x01
#define TMPF_VECTOR 0x02
#define TMPF_TRUETYPE 0x04
#define TMPF_DEVICE 0x08

// ---- GDI: device contexts ---------------------------------------------------------------------

#define HORZSIZE 4
#define VERTSIZE 6
#define HORZRES 8
#define VERTRES 10
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define PHYSICALWIDTH 110
#define PHYSICALHEIGHT 111
#define PHYSICALOFFSETX 112
#define PHYSICALOFFSETY 113
#define TECHNOLOGY 2
#define DT_RASDISPLAY 1
#define DT_RASPRINTER 2

#define TRANSPARENT 1
#define OPAQUE 2

#define TA_NOUPDATECP 0
#define TA_UPDATECP 1
#define TA_LEFT 0
#define TA_RIGHT 2
#define TA_CENTER 6
#define TA_TOP 0
#define TA_BOTTOM 8
#define TA_BASELINE 24

#define GM_COMPATIBLE 1
#define GM_ADVANCED 2

#define MWT_IDENTITY 1
#define MWT_LEFTMULTIPLY 2
#define MWT_RIGHTMULTIPLY 3

#define MM_TEXT 1
#define MM_LOMETRIC 2
#define MM_HIMETRIC 3
#define MM_LOENGLISH 4
#define MM_HIENGLISH 5
#define MM_TWIPS 6
#define MM_ISOTROPIC 7
#define MM_ANISOTROPIC 8

#define WHITE_BRUSH 0
#define BLACK_BRUSH 4
#define SYSTEM_FONT 13

#define GDI_ERROR ((DWORD)0xFFFFFFFF)
#define HGDI_ERROR ((HANDLE)(intptr_t)-1)

typedef struct _devicemodeA DEVMODEA;

typedef struct _DOCINFOA {
    int cbSize;
    LPCSTR lpszDocName;
    LPCSTR lpszOutput;
    LPCSTR lpszDatatype;
    DWORD fwType;
} DOCINFOA, *LPDOCINFOA;

#define SP_ERROR (-1)
#define SP_APPABORT (-2)

// Asked now and then while a document prints (on page calls, and every tenth of a second or so
// while text is drawn or the printer is slow to take data); FALSE abandons the document.
typedef BOOL(CALLBACK* ABORTPROC)(HDC, int);

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* init);
BOOL WINAPI DeleteDC(HDC dc);
int WINAPI SaveDC(HDC dc);
BOOL WINAPI RestoreDC(HDC dc, int saved);
int WINAPI GetDeviceCaps(HDC dc, int index);

int WINAPI SetGraphicsMode(HDC dc, int mode);
int WINAPI GetGraphicsMode(HDC dc);
BOOL WINAPI ModifyWorldTransform(HDC dc, const XFORM* xform, DWORD mode);
BOOL WINAPI SetWorldTransform(HDC dc, const XFORM* xform);
BOOL WINAPI GetWorldTransform(HDC dc, XFORM* xform);
int WINAPI SetMapMode(HDC dc, int mode);
int WINAPI GetMapMode(HDC dc);
BOOL WINAPI SetWindowOrgEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI SetViewportOrgEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI SetWindowExtEx(HDC dc, int x, int y, LPSIZE old);
BOOL WINAPI SetViewportExtEx(HDC dc, int x, int y, LPSIZE old);
BOOL WINAPI DPtoLP(HDC dc, LPPOINT points, int count);
BOOL WINAPI LPtoDP(HDC dc, LPPOINT points, int count);

int WINAPI SetBkMode(HDC dc, int mode);
int WINAPI GetBkMode(HDC dc);
UINT WINAPI SetTextAlign(HDC dc, UINT align);
UINT WINAPI GetTextAlign(HDC dc);
COLORREF WINAPI SetTextColor(HDC dc, COLORREF color);
COLORREF WINAPI SetBkColor(HDC dc, COLORREF color);
BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI GetCurrentPositionEx(HDC dc, LPPOINT point);
BOOL WINAPI TextOutA(HDC dc, int x, int y, LPCSTR text, int count);

HFONT WINAPI CreateFontIndirectA(const LOGFONTA* font);
HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
HGDIOBJ WINAPI GetCurrentObject(HDC dc, UINT type);
HGDIOBJ WINAPI GetStockObject(int index);
BOOL WINAPI DeleteObject(HGDIOBJ object);
int WINAPI GetObjectA(HGDIOBJ object, int size, LPVOID buffer);
BOOL WINAPI GetTextMetricsA(HDC dc, LPTEXTMETRICA metrics);
BOOL WINAPI GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, LPSIZE size);

#define OBJ_FONT 6

int WINAPI SetAbortProc(HDC dc, ABORTPROC proc);
int WINAPI StartDocA(HDC dc, const DOCINFOA* doc);
int WINAPI EndDoc(HDC dc);
int WINAPI AbortDoc(HDC dc);
int WINAPI StartPage(HDC dc);
int WINAPI EndPage(HDC dc);

// ---- Kernel: errors, files, directory search, mutexes ------------------------------------------
// C linkage, as the system's own: the Windows test build links these to the real KERNEL32.

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_INVALID_PRINTER_NAME 1801
#define ERROR_CANCELLED 1223

#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80

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
#define OPEN_EXISTING 3
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008

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

// Files by handle. Only OPEN_EXISTING of a regular file; a share mode without FILE_SHARE_WRITE
// refuses a file that some process is writing (ERROR_SHARING_VIOLATION), as Windows does.
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
// FileDispositionInfo only, on a handle opened with DELETE: the file goes, provided its name
// still names the file this handle has open.
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info,
                                       DWORD size);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
void WINAPI GetSystemTimeAsFileTime(FILETIME* now);

// A named mutex is one per name on the machine for as long as a process holds a handle to it; a
// second creation returns a handle with ERROR_ALREADY_EXISTS. On Linux it is a lock on a file in
// the user's runtime folder, which dies with the process.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name);
BOOL WINAPI CloseHandle(HANDLE handle);

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

// ---- Print spooler -----------------------------------------------------------------------------

#define PRINTER_ENUM_DEFAULT 0x00000001
#define PRINTER_ENUM_LOCAL 0x00000002

typedef struct _PRINTER_INFO_5A {
    LPSTR pPrinterName;
    LPSTR pPortName;
    DWORD Attributes;
    DWORD DeviceNotSelectedTimeout;
    DWORD TransmissionRetryTimeout;
} PRINTER_INFO_5A, *PPRINTER_INFO_5A, *LPPRINTER_INFO_5A;

#define PRINTER_ATTRIBUTE_DEFAULT 0x00000004
#define PRINTER_ATTRIBUTE_LOCAL 0x00000040
#define PRINTER_ATTRIBUTE_NETWORK 0x00000010

typedef struct _PRINTER_INFO_2A {
    LPSTR pServerName;
    LPSTR pPrinterName;
    LPSTR pShareName;
    LPSTR pPortName;
    LPSTR pDriverName;
    LPSTR pComment;
    LPSTR pLocation;
    DEVMODEA* pDevMode;
    LPSTR pSepFile;
    LPSTR pPrintProcessor;
    LPSTR pDatatype;
    LPSTR pParameters;
    void* pSecurityDescriptor;
    DWORD Attributes;
    DWORD Priority;
    DWORD DefaultPriority;
    DWORD StartTime;
    DWORD UntilTime;
    DWORD Status;
    DWORD cJobs;
    DWORD AveragePPM;
} PRINTER_INFO_2A, *PPRINTER_INFO_2A, *LPPRINTER_INFO_2A;

typedef struct _PRINTER_DEFAULTSA PRINTER_DEFAULTSA, *LPPRINTER_DEFAULTSA;

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

typedef struct _JOB_INFO_1A {
    DWORD JobId;
    LPSTR pPrinterName;
    LPSTR pMachineName;
    LPSTR pUserName;
    LPSTR pDocument;
    LPSTR pDatatype;
    LPSTR pStatus;
    DWORD Status;
    DWORD Priority;
    DWORD Position;
    DWORD TotalPages;
    DWORD PagesPrinted;
    SYSTEMTIME Submitted;
} JOB_INFO_1A, *PJOB_INFO_1A, *LPJOB_INFO_1A;

#define JOB_STATUS_PAUSED 0x00000001
#define JOB_STATUS_ERROR 0x00000002
#define JOB_STATUS_DELETING 0x00000004
#define JOB_STATUS_SPOOLING 0x00000008
#define JOB_STATUS_PRINTING 0x00000010
#define JOB_STATUS_OFFLINE 0x00000020
#define JOB_STATUS_PAPEROUT 0x00000040
#define JOB_STATUS_PRINTED 0x00000080
#define JOB_STATUS_DELETED 0x00000100
#define JOB_STATUS_BLOCKED_DEVQ 0x00000200
#define JOB_STATUS_USER_INTERVENTION 0x00000400
#define JOB_STATUS_RESTART 0x00000800
#define JOB_STATUS_COMPLETE 0x00001000

BOOL WINAPI EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned);
BOOL WINAPI GetDefaultPrinterA(LPSTR buffer, LPDWORD size);
BOOL WINAPI OpenPrinterA(LPSTR name, HANDLE* printer, LPPRINTER_DEFAULTSA defaults);
BOOL WINAPI ClosePrinter(HANDLE printer);
// Level 2 only. On Linux pComment says how the default printer was chosen.
BOOL WINAPI GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
// Level 1 only. A job the printer no longer knows fails with ERROR_INVALID_PARAMETER.
BOOL WINAPI GetJobA(HANDLE printer, DWORD job_id, DWORD level, LPBYTE buffer, DWORD size,
                    LPDWORD needed);

// ---- USER32 ------------------------------------------------------------------------------------

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113

#define SC_MINIMIZE 0xF020
#define SC_CLOSE 0xF060
#define SC_RESTORE 0xF120

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define WS_OVERLAPPEDWINDOW 0x00CF0000
#define CW_USEDEFAULT ((int)0x80000000)

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWDEFAULT 10

#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)

#define MB_OK 0x00000000
#define MB_ICONHAND 0x00000010
#define MB_ICONEXCLAMATION 0x00000030
#define MB_ICONASTERISK 0x00000040
#define IDOK 1

#define MF_STRING 0x00000000
#define MF_SEPARATOR 0x00000800

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* wc);
HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param);
BOOL WINAPI DestroyWindow(HWND window);
BOOL WINAPI IsWindow(HWND window);
// A window is visible once shown; on Linux without a display no window ever is.
BOOL WINAPI IsWindowVisible(HWND window);
BOOL WINAPI ShowWindow(HWND window, int show);
BOOL WINAPI UpdateWindow(HWND window);
BOOL WINAPI InvalidateRect(HWND window, const RECT* rect, BOOL erase);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
// Lets the platform's events arrive (signals, the window's), then looks for a waiting message.
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI TranslateMessage(const MSG* msg);
LRESULT WINAPI DispatchMessageA(const MSG* msg);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int exit_code);

HMENU WINAPI GetSystemMenu(HWND window, BOOL revert);
BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text);

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT* paint);

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name);
HINSTANCE WINAPI GetModuleHandleA(LPCSTR name);

// The application's entry point, called by the portable layer's main().
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
