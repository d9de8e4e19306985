// Which peer addresses may connect: IPv4 addresses and CIDR ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class AllowList {
 public:
  // Reads "a.b.c.d" and "a.b.c.d/n" entries separated by commas (blanks around an entry
  // are ignored). An empty text admits everyone. False, with the reason in `problem`,
  // when any entry is malformed: a list half understood must not admit anyone by accident.
  bool Parse(const std::string& text, std::string& problem);

  // Whether a peer's IPv4 address (host byte order) is admitted.
  bool Admits(std::uint32_t address) const;

  // True when no list was given, so every peer is admitted.
  bool AdmitsEveryone() const { return mRanges.empty(); }

 private:
  struct Range {
    std::uint32_t network;
    std::uint32_t mask;
  };
  std::vector<Range> mRanges;
};

// Reads dotted IPv4 text such as "192.168.1.20" into host byte order; false unless it is
// exactly four decimal numbers of 0 to 255.
bool ParseIpv4Address(const std::string& text, std::uint32_t& address);

// The dotted form ("192.168.1.7") of an IPv4 address in host byte order.
std::string DottedAddress(std::uint32_t address);
