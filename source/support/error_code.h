// How log lines show a failure: Win32 error codes and HRESULTs as the 32-bit numbers
// that "0x%lx" prints, so a line reads the same on every system.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// An HRESULT's 32 bits, unsigned: a failure prints as 0x8007000d, not sign-extended.
inline unsigned long HexCode(HRESULT result) {
  return static_cast<unsigned long>(static_cast<std::uint32_t>(result));
}

// The calling thread's last Win32 error.
inline unsigned long LastErrorCode() { return static_cast<unsigned long>(GetLastError()); }
