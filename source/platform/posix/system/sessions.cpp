// Console sessions and tokens on Linux: no console session ever has a user token to
// lend, so the token calls fail as they would for a session that is gone.
#include "platform/posix/system/win32_api.h"

DWORD WTSGetActiveConsoleSessionId() { return 0xFFFFFFFF; }

BOOL WTSQueryUserToken(DWORD /*sessionId*/, HANDLE* token) {
  *token = nullptr;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL DuplicateTokenEx(HANDLE /*token*/, DWORD /*access*/, LPSECURITY_ATTRIBUTES /*attributes*/,
                      SECURITY_IMPERSONATION_LEVEL /*level*/, TOKEN_TYPE /*type*/,
                      HANDLE* duplicate) {
  *duplicate = nullptr;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL ImpersonateLoggedOnUser(HANDLE /*token*/) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// A thread that never impersonates is already itself.
BOOL RevertToSelf() { return TRUE; }
