// Who may use the administrator's window. The allow-list decides first, then the password:
// the whole Authorization header is compared with the one expected, in constant time, so
// neither the password's length nor a matching beginning can be timed. A cancel carries a
// random token of this process, so a page of another site cannot make an administrator's
// browser cancel jobs.
#pragma once

#include <string>
#include <string_view>

#include "support/allow_list.h"

enum class AdminAccess {
  kAllowed,
  kForbidden,     // the address is not on the allow-list: 403
  kUnauthorized,  // a password is set and the request lacks it: 401
};

class AdminGuard {
 public:
  // The user is always "admin"; an empty password asks for none.
  AdminGuard(AllowList allow, const std::string& password);

  // What a request gets from the address (dotted IPv4, as its connection shows it) with
  // that Authorization header (empty when it sent none).
  AdminAccess Decide(const std::string& remoteAddress, std::string_view authorization) const;

 private:
  AllowList mAllow;
  std::string mExpectedAuthorization;  // "Basic " and the credential; empty: none asked
};

// Whether two texts are equal, in a time that depends on the given text's length only.
bool ConstantTimeEquals(std::string_view expected, std::string_view given);

// Standard base64 with padding, as HTTP Basic carries a credential.
std::string Base64(std::string_view bytes);

// A new cancel token: 32 random bytes as 64 hexadecimal digits; empty when the system's
// random source failed, and then no cancel is accepted.
std::string NewCancelToken();

// Whether a cancel's token is the process's; nothing matches an empty expected token.
bool CancelTokenMatches(std::string_view expected, std::string_view given);
