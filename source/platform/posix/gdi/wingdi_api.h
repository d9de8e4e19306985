// The GDI subset the PDF path draws with, declared for systems without Windows. A
// printer DC draws into one PDF document per StartDoc/EndDoc; EndDoc hands it to the
// printer through the spooler backend. Pages are sized by the printer's default paper
// and orientation; HORZRES/VERTRES are the printable area in device pixels at the
// printer's resolution.
#pragma once

#include "platform/posix/system/win32_api.h"

struct QmDeviceContext;
struct QmGdiObject;
using HDC = QmDeviceContext*;
using HGDIOBJ = QmGdiObject*;
using HBITMAP = QmGdiObject*;
using HINSTANCE = void*;

struct SIZE {
  LONG cx;
  LONG cy;
};
struct POINT {
  LONG x;
  LONG y;
};
using LPSIZE = SIZE*;
using LPPOINT = POINT*;

struct DOCINFOW {
  int cbSize;
  LPCWSTR lpszDocName;
  LPCWSTR lpszOutput;
  LPCWSTR lpszDatatype;
  DWORD fwType;
};

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};

// GetDeviceCaps indexes.
inline constexpr int HORZRES = 8;
inline constexpr int VERTRES = 10;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
inline constexpr int PHYSICALWIDTH = 110;
inline constexpr int PHYSICALHEIGHT = 111;
inline constexpr int PHYSICALOFFSETX = 112;
inline constexpr int PHYSICALOFFSETY = 113;

// DeviceCapabilitiesA capabilities.
inline constexpr WORD DC_COPIES = 18;

inline constexpr int MM_TEXT = 1;
inline constexpr int MM_ISOTROPIC = 7;
inline constexpr int MM_ANISOTROPIC = 8;
inline constexpr DWORD SRCCOPY = 0x00CC0020;

// LoadImageA.
inline constexpr UINT IMAGE_BITMAP = 0;
inline constexpr UINT LR_LOADFROMFILE = 0x00000010;
inline constexpr UINT LR_DEFAULTSIZE = 0x00000040;
inline constexpr UINT LR_VGACOLOR = 0x00000080;
inline constexpr UINT LR_CREATEDIBSECTION = 0x00002000;

// A printer DC for the printer named by device (code page 936); driver and port are
// ignored. nullptr with the last error set when the printer cannot be opened.
HDC CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR port, const DEVMODEA* devmode);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL DeleteObject(HGDIOBJ object);
int GetDeviceCaps(HDC dc, int index);
// What the printer named by device (code page 936) can do; DC_COPIES only: the most
// copies a job may ask for. -1 with the last error set when the printer cannot be opened.
int DeviceCapabilitiesA(LPCSTR device, LPCSTR port, WORD capability, LPSTR output,
                        const DEVMODEA* devmode);

int StartDocW(HDC dc, const DOCINFOW* info);
int StartPage(HDC dc);
int EndPage(HDC dc);
int EndDoc(HDC dc);

int SetMapMode(HDC dc, int mode);
BOOL SetWindowExtEx(HDC dc, int x, int y, LPSIZE previous);
BOOL SetViewportExtEx(HDC dc, int x, int y, LPSIZE previous);
BOOL SetViewportOrgEx(HDC dc, int x, int y, LPPOINT previous);
BOOL StretchBlt(HDC destination, int x, int y, int width, int height, HDC source, int sourceX,
                int sourceY, int sourceWidth, int sourceHeight, DWORD rop);

// Loads an 8-bit (palettised) or 24-bit BMP file as a bitmap of the file's size.
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height, UINT flags);
// Fills a BITMAP for a bitmap object; the bytes written, 0 on failure.
int GetObjectW(HANDLE object, int size, LPVOID buffer);
