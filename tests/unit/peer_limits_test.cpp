// The allow-list's reading of addresses and ranges, the default session cap, the
// once-a-second report of refused connections, and the pages sessions give back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "allow_list.h"
#include "platform/platform.h"
#include "server_settings.h"
#include "session_gate.h"

namespace {

std::uint32_t Address(const char* text) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIpv4Address(text, address)) << text;
  return address;
}

TEST(AllowListTest, AdmitsExactlyTheListedAddressesAndRanges) {
  AllowList allow;
  std::string problem;
  ASSERT_TRUE(allow.Parse(" 192.168.1.0/24,10.0.0.7 ,172.16.0.0/12", problem)) << problem;
  EXPECT_TRUE(allow.Admits(Address("192.168.1.0")));
  EXPECT_TRUE(allow.Admits(Address("192.168.1.255")));
  EXPECT_FALSE(allow.Admits(Address("192.168.2.1")));
  EXPECT_TRUE(allow.Admits(Address("10.0.0.7")));
  EXPECT_FALSE(allow.Admits(Address("10.0.0.8")));
  EXPECT_TRUE(allow.Admits(Address("172.31.255.255")));
  EXPECT_FALSE(allow.Admits(Address("172.32.0.0")));

  // A range written with host bits set still means its network; /0 is everyone.
  ASSERT_TRUE(allow.Parse("10.9.8.7/8", problem));
  EXPECT_TRUE(allow.Admits(Address("10.200.0.1")));
  ASSERT_TRUE(allow.Parse("0.0.0.0/0", problem));
  EXPECT_TRUE(allow.Admits(Address("203.0.113.9")));
  ASSERT_TRUE(allow.Parse("  ", problem));
  EXPECT_TRUE(allow.AdmitsEveryone());
}

TEST(AllowListTest, RefusesEveryMalformedEntryAndKeepsNothingOfIt) {
  for (const char* text : {"10.0.0.256", "10.0.0", "10.0.0.1.2", "10.0.0.0/33", "10.0.0.0/",
                           "10.0.0.1,", ",10.0.0.1", "10.0.0.1;10.0.0.2", "-1.0.0.0", "0x0a.0.0.1",
                           "1.2.3.4/8/8", "10.0.0.0/-1", "example.org", "::1", "1111.0.0.1"}) {
    AllowList allow;
    std::string problem;
    EXPECT_FALSE(allow.Parse(std::string("10.1.1.1,") + text, problem)) << text;
    EXPECT_FALSE(problem.empty());
    EXPECT_TRUE(allow.AdmitsEveryone()) << "a refused list keeps no entries";
  }
}

TEST(ServerSettingsTest, DefaultSessionCapLeavesRoomForFilesAndStaysBounded) {
  EXPECT_EQ(DefaultMaxSessions(1024), 480u);
  EXPECT_EQ(DefaultMaxSessions(1u << 20), 1024u);
  EXPECT_EQ(DefaultMaxSessions(0), 1024u);  // no per-process limit
  EXPECT_EQ(DefaultMaxSessions(20), 1u);
}

TEST(RefusalCounterTest, ReportsAtMostOnceASecondWithEverythingCountedMeanwhile) {
  RefusalCounter counter;
  EXPECT_EQ(counter.TakeDue(0), 0u);
  counter.Add();
  EXPECT_EQ(counter.TakeDue(5000), 1u);
  for (int refused = 0; refused < 7; ++refused) counter.Add();
  EXPECT_EQ(counter.TakeDue(5999), 0u);
  EXPECT_EQ(counter.TakeDue(6000), 7u);
  EXPECT_EQ(counter.TakeDue(9000), 0u);
}

// A session's payload buffer does not start on a page: only the whole pages inside it may
// go, never the bytes of the session around it.
TEST(SystemPagesTest, DiscardingAnUnalignedRangeKeepsEveryByteAroundItsWholePages) {
  constexpr std::size_t kBytes = 1 << 20;
  constexpr std::size_t kMargin = 100;
  auto* memory = static_cast<std::uint8_t*>(quillmesh::platform::AllocatePages(kBytes));
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(memory[0], 0);
  EXPECT_EQ(memory[kBytes - 1], 0);
  std::memset(memory, 0x5A, kBytes);

  quillmesh::platform::DiscardPages(memory + kMargin, kBytes - 2 * kMargin);
  // The partial pages at both ends stay whole, bytes inside the range included.
  for (std::size_t offset = 0; offset < 2 * kMargin; ++offset) {
    ASSERT_EQ(memory[offset], 0x5A) << offset;
    ASSERT_EQ(memory[kBytes - 1 - offset], 0x5A) << offset;
  }
#ifndef _WIN32
  EXPECT_EQ(memory[kBytes / 2], 0) << "a discarded page reads as zeros when touched again";
#endif
  quillmesh::platform::FreePages(memory, kBytes);
}

}  // namespace
