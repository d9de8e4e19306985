// Console-user impersonation through the WTS and token calls. On Linux no console session
// is ever active, so the object logs that and stays inert.
#include "print/user_impersonation.h"

#include "support/error_code.h"
#include "support/log_writer.h"
#include "platform/owners.h"

namespace {

// What WTSGetActiveConsoleSessionId returns while no session is attached to the console.
constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

// TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY |
// TOKEN_ADJUST_DEFAULT: what impersonation and the driver's queries need.
constexpr DWORD kDuplicateTokenAccess = 0x8F;

// A token, closed when its owner goes away.
using TokenHandle = quillmesh::platform::HandleOwner;

// The console user's token of a session; empty (error logged) when it is unavailable.
TokenHandle QueryUserToken(DWORD sessionId) {
  HANDLE userToken = nullptr;
  if (!WTSQueryUserToken(sessionId, &userToken)) {
    LOG_ERROR("Impersonate: WTSQueryUserToken(session=%lu) failed: 0x%lx\n",
              static_cast<unsigned long>(sessionId), LastErrorCode());
    return TokenHandle();
  }
  return TokenHandle(userToken);
}

// A primary token duplicated from the user's; empty (error logged) on failure.
TokenHandle DuplicateUserToken(HANDLE userToken) {
  HANDLE duplicate = nullptr;
  if (!DuplicateTokenEx(userToken, kDuplicateTokenAccess, nullptr, SecurityImpersonation,
                        TokenPrimary, &duplicate)) {
    LOG_ERROR("Impersonate: DuplicateTokenEx failed: 0x%lx\n", LastErrorCode());
    return TokenHandle();
  }
  return TokenHandle(duplicate);
}

}  // namespace

// Each step's failure is logged once and leaves the object inert; the owners close
// every token that is not kept.
UserSessionImpersonator::UserSessionImpersonator() {
  const DWORD sessionId = WTSGetActiveConsoleSessionId();
  if (sessionId == kNoConsoleSession) {
    LOG_ERROR("Impersonate: no active console session\n");
    return;
  }
  TokenHandle duplicate;
  {
    // The user token is needed only to duplicate it: closed whatever the outcome.
    const TokenHandle userToken = QueryUserToken(sessionId);
    if (!userToken) return;
    duplicate = DuplicateUserToken(userToken.get());
  }
  if (!duplicate) return;
  if (!ImpersonateLoggedOnUser(duplicate.get())) {
    LOG_ERROR("Impersonate: ImpersonateLoggedOnUser failed: 0x%lx\n", LastErrorCode());
    return;
  }
  mToken = duplicate.release();
  mImpersonating = true;
  LOG_DEBUG("Impersonate: impersonating user of console session %lu\n",
            static_cast<unsigned long>(sessionId));
}

// Reverting first: the thread must not keep running under a token that is closed.
UserSessionImpersonator::~UserSessionImpersonator() {
  if (mImpersonating && !RevertToSelf()) {
    LOG_ERROR("Impersonate: RevertToSelf failed: 0x%lx\n", LastErrorCode());
  }
  if (mToken != nullptr) CloseHandle(mToken);
}
