#include "support/allow_list.h"

#include <cctype>

namespace {

// Whole decimal number of at most three digits in [0, limit], nothing else.
bool ParseSmallNumber(const std::string& text, unsigned limit, unsigned& value) {
  if (text.empty() || text.size() > 3) return false;
  value = 0;
  for (const char digit : text) {
    if (!std::isdigit(static_cast<unsigned char>(digit))) return false;
    value = value * 10 + static_cast<unsigned>(digit - '0');
  }
  return value <= limit;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string DottedAddress(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
         std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool ParseIpv4Address(const std::string& text, std::uint32_t& address) {
  address = 0;
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.', start) : text.size();
    if (dot == std::string::npos) return false;
    unsigned octet = 0;
    if (!ParseSmallNumber(text.substr(start, dot - start), 255, octet)) return false;
    address = address << 8 | octet;
    start = dot + 1;
  }
  return true;
}

bool AllowList::Parse(const std::string& text, std::string& problem) {
  mRanges.clear();
  if (Trimmed(text).empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string entry =
        Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::size_t slash = entry.find('/');
    std::uint32_t address = 0;
    unsigned prefixBits = 32;
    const bool valid =
        ParseIpv4Address(entry.substr(0, slash), address) &&
        (slash == std::string::npos || ParseSmallNumber(entry.substr(slash + 1), 32, prefixBits));
    if (!valid) {
      problem = "\"" + entry + "\" is not an IPv4 address or a CIDR range such as 192.168.1.0/24";
      mRanges.clear();
      return false;
    }
    const std::uint32_t mask = prefixBits == 0 ? 0 : ~std::uint32_t{0} << (32 - prefixBits);
    mRanges.push_back({address & mask, mask});
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool AllowList::Admits(std::uint32_t address) const {
  if (mRanges.empty()) return true;
  for (const Range& range : mRanges) {
    if ((address & range.mask) == range.network) return true;
  }
  return false;
}
