// The subset of the Win32 API that the server uses, declared for systems without
// Windows. Names, arguments, results and error codes follow Windows so that the
// print paths read the same everywhere; the implementations live beside this file.
// Narrow ("A") operations work in code page 936 (GBK), wide ("W") ones in UTF-16.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using WCHAR = char16_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPBOOL = BOOL*;
using LPVOID = void*;
using HANDLE = void*;
using PSECURITY_DESCRIPTOR = void*;
using LPSECURITY_ATTRIBUTES = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Win32 error codes the seam reports through GetLastError.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_LEVEL = 124;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;
inline constexpr DWORD ERROR_INVALID_DATATYPE = 1804;
inline constexpr DWORD ERROR_SPL_NO_STARTDOC = 3003;
inline constexpr DWORD ERROR_PRINTER_NOT_FOUND = 3012;

DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetCurrentThreadId();

// ---- Sockets: the POSIX calls stand in for Winsock; these fill the gaps. ----
using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
using LPWSADATA = WSADATA*;
constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
int WSAStartup(WORD version, LPWSADATA data);
int closesocket(SOCKET socket);

// ---- Code pages ----
inline constexpr UINT CP_ACP = 0;  // the system code page: 936 here
inline constexpr UINT CP_UTF8 = 65001;
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar);

// ---- Files ----
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
DWORD GetFileAttributesA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL DeleteFileA(LPCSTR path);
BOOL DeleteFileW(LPCWSTR path);

// ---- Spooler: enumeration ----
inline constexpr DWORD PRINTER_ENUM_LOCAL = 0x00000002;
inline constexpr DWORD PRINTER_ENUM_CONNECTIONS = 0x00000004;
inline constexpr DWORD PRINTER_ATTRIBUTE_LOCAL = 0x00000040;
inline constexpr DWORD PRINTER_ATTRIBUTE_NETWORK = 0x00000010;
inline constexpr DWORD PRINTER_ATTRIBUTE_DEFAULT = 0x00000004;

// ---- DEVMODE: a printer's settings, in the Windows layout (156 and 220 bytes). The
// display-only members that Windows overlays on the printer ones are left out. ----
inline constexpr int CCHDEVICENAME = 32;
inline constexpr int CCHFORMNAME = 32;

#define QM_DEVMODE_FIELDS(CharType)                                                      \
  CharType dmDeviceName[CCHDEVICENAME];                                                  \
  WORD dmSpecVersion;                                                                    \
  WORD dmDriverVersion;                                                                  \
  WORD dmSize;                                                                           \
  WORD dmDriverExtra;                                                                    \
  DWORD dmFields;                                                                        \
  short dmOrientation;                                                                   \
  short dmPaperSize;                                                                     \
  short dmPaperLength;                                                                   \
  short dmPaperWidth;                                                                    \
  short dmScale;                                                                         \
  short dmCopies;                                                                        \
  short dmDefaultSource;                                                                 \
  short dmPrintQuality;                                                                  \
  short dmColor;                                                                         \
  short dmDuplex;                                                                        \
  short dmYResolution;                                                                   \
  short dmTTOption;                                                                      \
  short dmCollate;                                                                       \
  CharType dmFormName[CCHFORMNAME];                                                      \
  WORD dmLogPixels;                                                                      \
  DWORD dmBitsPerPel;                                                                    \
  DWORD dmPelsWidth;                                                                     \
  DWORD dmPelsHeight;                                                                    \
  DWORD dmNup;                                                                           \
  DWORD dmDisplayFrequency;                                                              \
  DWORD dmICMMethod;                                                                     \
  DWORD dmICMIntent;                                                                     \
  DWORD dmMediaType;                                                                     \
  DWORD dmDitherType;                                                                    \
  DWORD dmReserved1;                                                                     \
  DWORD dmReserved2;                                                                     \
  DWORD dmPanningWidth;                                                                  \
  DWORD dmPanningHeight;

struct _devicemodeA {
  QM_DEVMODE_FIELDS(CHAR)
};
struct _devicemodeW {
  QM_DEVMODE_FIELDS(WCHAR)
};
#undef QM_DEVMODE_FIELDS
using DEVMODEA = _devicemodeA;
using DEVMODEW = _devicemodeW;
using LPDEVMODEA = DEVMODEA*;
using LPDEVMODEW = DEVMODEW*;
using PDEVMODEA = DEVMODEA*;
using PDEVMODEW = DEVMODEW*;
// The generic name, as a UNICODE build of Windows declares it.
using PDEVMODE = PDEVMODEW;
static_assert(sizeof(DEVMODEA) == 156, "DEVMODEA has the Windows layout");
static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW has the Windows layout");

// dmFields bits.
inline constexpr DWORD DM_ORIENTATION = 0x00000001;
inline constexpr DWORD DM_PAPERSIZE = 0x00000002;
inline constexpr DWORD DM_PAPERLENGTH = 0x00000004;
inline constexpr DWORD DM_PAPERWIDTH = 0x00000008;
inline constexpr DWORD DM_SCALE = 0x00000010;
inline constexpr DWORD DM_NUP = 0x00000040;
inline constexpr DWORD DM_COPIES = 0x00000100;
inline constexpr DWORD DM_DEFAULTSOURCE = 0x00000200;
inline constexpr DWORD DM_PRINTQUALITY = 0x00000400;
inline constexpr DWORD DM_COLOR = 0x00000800;
inline constexpr DWORD DM_DUPLEX = 0x00001000;
inline constexpr DWORD DM_YRESOLUTION = 0x00002000;
inline constexpr DWORD DM_COLLATE = 0x00008000;
inline constexpr DWORD DM_FORMNAME = 0x00010000;

inline constexpr short DMORIENT_PORTRAIT = 1;
inline constexpr short DMORIENT_LANDSCAPE = 2;
inline constexpr short DMDUP_SIMPLEX = 1;
inline constexpr short DMDUP_VERTICAL = 2;
inline constexpr short DMDUP_HORIZONTAL = 3;
inline constexpr short DMCOLOR_MONOCHROME = 1;
inline constexpr short DMCOLOR_COLOR = 2;
inline constexpr short DMCOLLATE_FALSE = 0;
inline constexpr short DMCOLLATE_TRUE = 1;
inline constexpr WORD DM_SPECVERSION = 0x0401;

struct PRINTER_INFO_2A {
  LPSTR pServerName;
  LPSTR pPrinterName;
  LPSTR pShareName;
  LPSTR pPortName;
  LPSTR pDriverName;
  LPSTR pComment;
  LPSTR pLocation;
  LPDEVMODEA pDevMode;
  LPSTR pSepFile;
  LPSTR pPrintProcessor;
  LPSTR pDatatype;
  LPSTR pParameters;
  PSECURITY_DESCRIPTOR pSecurityDescriptor;
  DWORD Attributes;
  DWORD Priority;
  DWORD DefaultPriority;
  DWORD StartTime;
  DWORD UntilTime;
  DWORD Status;
  DWORD cJobs;
  DWORD AveragePPM;
};
using PPRINTER_INFO_2A = PRINTER_INFO_2A*;

// Level 2 only. Names come back in code page 936.
BOOL EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD bufferSize,
                   LPDWORD bytesNeeded, LPDWORD returned);

// ---- Spooler: printers and RAW documents ----
struct PRINTER_DEFAULTSW {
  LPWSTR pDatatype;
  LPDEVMODEW pDevMode;
  DWORD DesiredAccess;
};
using LPPRINTER_DEFAULTSW = PRINTER_DEFAULTSW*;

struct DOC_INFO_1W {
  LPWSTR pDocName;
  LPWSTR pOutputFile;
  LPWSTR pDatatype;
};

// A handle from OpenPrinterW stays valid until ClosePrinter; any other value fails
// with ERROR_INVALID_HANDLE.
BOOL OpenPrinterW(LPWSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSW defaults);
BOOL ClosePrinter(HANDLE printer);
// Level 1 only; the job id, or 0.
DWORD StartDocPrinterW(HANDLE printer, DWORD level, LPBYTE docInfo);
BOOL StartPagePrinter(HANDLE printer);
BOOL WritePrinter(HANDLE printer, LPVOID data, DWORD count, LPDWORD written);
BOOL EndPagePrinter(HANDLE printer);
BOOL EndDocPrinter(HANDLE printer);

// ---- Spooler: printer settings ----
struct PRINTER_DEFAULTSA {
  LPSTR pDatatype;
  LPDEVMODEA pDevMode;
  DWORD DesiredAccess;
};
using LPPRINTER_DEFAULTSA = PRINTER_DEFAULTSA*;
using HWND = void*;

inline constexpr DWORD PRINTER_ACCESS_USE = 0x00000008;
inline constexpr DWORD DM_OUT_BUFFER = 2;
inline constexpr DWORD DM_IN_BUFFER = 8;
inline constexpr LONG IDOK = 1;

// Narrow names are in code page 936.
BOOL OpenPrinterA(LPSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSA defaults);
// Level 2 only: the record, its strings and the default DEVMODEA in one buffer.
BOOL GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed);
// Level 2, command 0: the record's DEVMODE becomes the printer's default.
BOOL SetPrinterA(HANDLE printer, DWORD level, LPBYTE info, DWORD command);
// Mode 0: the DEVMODEW size; DM_OUT_BUFFER: the printer's defaults and IDOK (with
// DM_IN_BUFFER the input's marked fields are merged in first). Negative on failure.
LONG DocumentPropertiesW(HWND window, HANDLE printer, LPWSTR deviceName, PDEVMODEW output,
                         PDEVMODEW input, DWORD mode);

// ---- Console sessions and tokens (WTS): Linux has no console session whose user
// token could be borrowed, so there is never an active one and the token calls fail. ----
enum SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
};
enum TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation };

// 0xFFFFFFFF: no session is attached to the console.
DWORD WTSGetActiveConsoleSessionId();
BOOL WTSQueryUserToken(DWORD sessionId, HANDLE* token);
BOOL DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* duplicate);
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();
