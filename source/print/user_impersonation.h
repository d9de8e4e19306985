// A scoped guard that makes the calling thread act as the user of the active console
// session, so that printer drivers report that user's defaults.
#pragma once

#include "platform/platform.h"

// Construct, check IsImpersonating, make the calls that need the user's context, leave
// the block. Constructed and destroyed on the same thread: impersonation belongs to it.
class UserSessionImpersonator {
 public:
  // Tries to impersonate the console user; on any failure the object stays inert.
  UserSessionImpersonator();
  // Reverts the thread to the server's own context, then closes the token.
  ~UserSessionImpersonator();

  UserSessionImpersonator(const UserSessionImpersonator&) = delete;
  UserSessionImpersonator& operator=(const UserSessionImpersonator&) = delete;

  // True while the thread runs under the console user's token.
  bool IsImpersonating() const { return mImpersonating; }

 private:
  // The duplicated console-user token; null unless impersonation is in force.
  HANDLE mToken = nullptr;
  bool mImpersonating = false;  // true only after ImpersonateLoggedOnUser succeeded
};
