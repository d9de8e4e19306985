// Who gets into the administrator's window: the allow-list before the password, the
// password compared whole, and a cancel only with this process's token.
#include <gtest/gtest.h>

#include <string>

#include "admin/admin_access.h"
#include "admin/jobs_json.h"

namespace {

// The loopback range, as the window admits by default.
AllowList Loopback() {
  AllowList allow;
  std::string problem;
  EXPECT_TRUE(allow.Parse("127.0.0.0/8", problem)) << problem;
  return allow;
}

std::string BasicHeader(const std::string& credential) { return "Basic " + Base64(credential); }

TEST(AdminAccess, TheAllowListDecidesFirstAtTheEdgesOfItsRange) {
  const AdminGuard guard(Loopback(), "");
  EXPECT_EQ(guard.Decide("127.0.0.1", ""), AdminAccess::kAllowed);
  EXPECT_EQ(guard.Decide("127.255.255.255", ""), AdminAccess::kAllowed);
  EXPECT_EQ(guard.Decide("126.255.255.255", ""), AdminAccess::kForbidden);
  EXPECT_EQ(guard.Decide("128.0.0.0", ""), AdminAccess::kForbidden);
  // An address that is not IPv4 text is never admitted, whatever the list.
  for (const char* odd : {"", "::1", "127.0.0.1 ", "127.0.0", "localhost"}) {
    EXPECT_EQ(guard.Decide(odd, ""), AdminAccess::kForbidden) << odd;
  }
  // A refused address stays refused with the right password.
  const AdminGuard locked(Loopback(), "secret");
  EXPECT_EQ(locked.Decide("10.0.0.1", BasicHeader("admin:secret")), AdminAccess::kForbidden);
}

TEST(AdminAccess, APasswordAdmitsOnlyTheWholeCredentialOfAdmin) {
  const AdminGuard guard(Loopback(), "s3cret:pw");
  EXPECT_EQ(guard.Decide("127.0.0.1", BasicHeader("admin:s3cret:pw")), AdminAccess::kAllowed);
  for (const std::string& wrong :
       {std::string(), BasicHeader("admin:s3cret:p"), BasicHeader("admin:s3cret:pwx"),
        BasicHeader("admin:S3cret:pw"), BasicHeader("root:s3cret:pw"),
        BasicHeader("admin:"), BasicHeader(":s3cret:pw"), std::string("Basic"),
        "basic " + Base64("admin:s3cret:pw"), "Bearer " + Base64("admin:s3cret:pw"),
        BasicHeader("admin:s3cret:pw") + " "}) {
    EXPECT_EQ(guard.Decide("127.0.0.1", wrong), AdminAccess::kUnauthorized) << wrong;
  }
}

TEST(AdminAccess, WithoutAPasswordNoCredentialIsAsked) {
  const AdminGuard guard(Loopback(), "");
  EXPECT_EQ(guard.Decide("127.0.0.1", BasicHeader("anyone:anything")), AdminAccess::kAllowed);
}

TEST(AdminAccess, ConstantTimeEqualityHoldsForEqualTextsOnly) {
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_FALSE(ConstantTimeEquals("abc", "abd"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "ab"));
  EXPECT_FALSE(ConstantTimeEquals("abc", ""));
  EXPECT_FALSE(ConstantTimeEquals("", "a"));
  // The expected text repeated is not the expected text.
  EXPECT_FALSE(ConstantTimeEquals("ab", "abab"));
  EXPECT_FALSE(ConstantTimeEquals(std::string("a\0b", 3), "a"));
}

TEST(AdminAccess, Base64IsTheStandardAlphabetWithPadding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) EXPECT_EQ(Base64(plain), encoded) << plain;
  EXPECT_EQ(Base64("\xff\xfe\xfd"), "//79");
  EXPECT_EQ(Base64("\xfb\xef"), "++8=");
}

TEST(AdminCancelToken, OnlyTheProcessTokenWholeIsAccepted) {
  const std::string token = NewCancelToken();
  ASSERT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
  EXPECT_NE(NewCancelToken(), token);
  EXPECT_TRUE(CancelTokenMatches(token, token));
  std::string lastDigitChanged = token;
  lastDigitChanged.back() = lastDigitChanged.back() == '0' ? '1' : '0';
  for (const std::string& wrong :
       {std::string(), lastDigitChanged, token.substr(0, 63), token + "0", token + token}) {
    EXPECT_FALSE(CancelTokenMatches(token, wrong)) << wrong;
  }
  // A process without a token accepts no cancel, not even an empty token.
  EXPECT_FALSE(CancelTokenMatches("", ""));
}

TEST(AdminJobNumber, OneToTheLargestThirtyTwoBitNumberInDigitsOnly) {
  EXPECT_EQ(ParseJobNumber("1"), 1u);
  EXPECT_EQ(ParseJobNumber("4294967295"), 4294967295u);
  EXPECT_EQ(ParseJobNumber("0000000017"), 17u);
  for (const char* refused :
       {"", "0", "4294967296", "99999999999", "00000000017", "12a", "-1", "+1", " 1", "1 "}) {
    EXPECT_FALSE(ParseJobNumber(refused).has_value()) << refused;
  }
}

}  // namespace
