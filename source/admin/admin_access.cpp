#include "admin/admin_access.h"

#include <cstdint>
#include <utility>

#include "platform/platform.h"

namespace {

constexpr std::size_t kCancelTokenBytes = 32;
constexpr char kBase64Digits[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

AdminGuard::AdminGuard(AllowList allow, const std::string& password) : mAllow(std::move(allow)) {
  if (!password.empty()) mExpectedAuthorization = "Basic " + Base64("admin:" + password);
}

AdminAccess AdminGuard::Decide(const std::string& remoteAddress,
                               std::string_view authorization) const {
  std::uint32_t address = 0;
  if (!ParseIpv4Address(remoteAddress, address) || !mAllow.Admits(address)) {
    return AdminAccess::kForbidden;
  }
  if (mExpectedAuthorization.empty()) return AdminAccess::kAllowed;
  return ConstantTimeEquals(mExpectedAuthorization, authorization) ? AdminAccess::kAllowed
                                                                   : AdminAccess::kUnauthorized;
}

bool ConstantTimeEquals(std::string_view expected, std::string_view given) {
  if (expected.empty()) return given.empty();
  // Every given byte is compared, against the expected text repeated, so the time says
  // nothing about where the texts differ or how long the expected one is.
  unsigned difference = expected.size() == given.size() ? 0U : 1U;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i]) ^
                  static_cast<unsigned char>(expected[i % expected.size()]);
  }
  return difference == 0;
}

std::string Base64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t taken = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < taken ? static_cast<unsigned char>(bytes[i + k]) : 0U);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= taken ? kBase64Digits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

std::string NewCancelToken() {
  unsigned char bytes[kCancelTokenBytes];
  if (!quillmesh::platform::FillRandomBytes(bytes, sizeof bytes)) return {};
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kHexDigits[byte >> 4];
    token += kHexDigits[byte & 0x0F];
  }
  return token;
}

bool CancelTokenMatches(std::string_view expected, std::string_view given) {
  return !expected.empty() && ConstantTimeEquals(expected, given);
}
