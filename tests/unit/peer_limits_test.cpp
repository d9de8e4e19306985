// The allow-list's reading of addresses and ranges, the default session cap, the caps'
// choice of whom to admit and whom to end, the sessions' time limit, the once-a-second
// report of refused connections, and the pages sessions give back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/allow_list.h"
#include "platform/platform.h"
#include "support/server_settings.h"
#include "front/session_deadline.h"
#include "session_fixture.h"
#include "front/session_gate.h"
#include "test_environment.h"

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
  EXPECT_EQ(counter.DueAtMillis(), -1) << "nothing waits";
  counter.Add();
  EXPECT_EQ(counter.DueAtMillis(), 7000) << "a second after the last report";
}

TEST(ServerSettingsTest, TheCapPerPeerTakesOneToTheSessionCeiling) {
  for (const auto& [text, accepted] : {std::pair{"0", false}, std::pair{"1", true},
                                       std::pair{"1024", true}, std::pair{"1025", false}}) {
    SetEnvironment("QUILLMESH_MAX_SESSIONS_PER_PEER", text);
    ServerSettings settings;
    std::string problem;
    EXPECT_EQ(ReadServerSettings(settings, problem), accepted) << text;
    if (accepted) {
      EXPECT_EQ(settings.maxSessionsPerPeer, std::stoul(text));
    }
  }
  SetEnvironment("QUILLMESH_MAX_SESSIONS_PER_PEER", "");
  ServerSettings settings;
  std::string problem;
  ASSERT_TRUE(ReadServerSettings(settings, problem));
  EXPECT_EQ(settings.maxSessionsPerPeer, 16u);
}

// Sessions of a gate under test: sockets that are none, so ending one touches nothing.
class SessionGateTest : public ::testing::Test {
 protected:
  SessionSlot* Admit(SessionGate& gate, const char* peer, std::int64_t nowMillis) {
    SessionSlot* slot = gate.Admit(Address(peer), INVALID_SOCKET, nowMillis);
    if (slot != nullptr) mOpen.push_back(slot);
    return slot;
  }
  AllowList mEveryone;
  std::vector<SessionSlot*> mOpen;
};

TEST_F(SessionGateTest, AFullCapPerPeerEndsThatPeersLongestIdleSessionBetweenJobs) {
  SessionGate gate({100, 3}, mEveryone);
  SessionSlot* printing = Admit(gate, "10.0.0.1", 0);
  SessionSlot* quietest = Admit(gate, "10.0.0.1", 10);
  SessionSlot* talking = Admit(gate, "10.0.0.1", 20);
  ASSERT_TRUE(printing && quietest && talking) << "exactly the cap is admitted";
  ASSERT_TRUE(gate.MarkInJob(*printing, true));
  talking->lastHeardMillis = 500;

  // Another peer's sessions are never taken for this one's.
  ASSERT_NE(Admit(gate, "10.0.0.2", 30), nullptr);
  SessionSlot* newcomer = Admit(gate, "10.0.0.1", 1000);
  ASSERT_NE(newcomer, nullptr);
  EXPECT_TRUE(quietest->evicted);
  EXPECT_FALSE(printing->evicted || talking->evicted);
  EXPECT_FALSE(gate.MarkInJob(*quietest, true)) << "an ended session must stop";

  // Every session of the peer has a job under way: one more is refused.
  ASSERT_TRUE(gate.MarkInJob(*talking, true));
  ASSERT_TRUE(gate.MarkInJob(*newcomer, true));
  EXPECT_EQ(Admit(gate, "10.0.0.1", 2000), nullptr);
  // A job that ends makes its session one that may be ended again.
  ASSERT_TRUE(gate.MarkInJob(*talking, false));
  EXPECT_NE(Admit(gate, "10.0.0.1", 3000), nullptr);
  EXPECT_TRUE(talking->evicted);
  for (SessionSlot* slot : mOpen) gate.Release(slot);
}

TEST_F(SessionGateTest, AFullSessionCapEndsTheLongestIdleSessionOfAnyPeer) {
  SessionGate gate({2, 16}, mEveryone);
  SessionSlot* first = Admit(gate, "10.0.0.1", 0);
  SessionSlot* second = Admit(gate, "10.0.0.2", 0);
  ASSERT_TRUE(first && second);
  first->lastHeardMillis = 700;  // the second has been silent longest
  ASSERT_NE(Admit(gate, "10.0.0.3", 1000), nullptr);
  EXPECT_TRUE(second->evicted);
  EXPECT_FALSE(first->evicted);
  // The ended session's slot goes when its thread ends; it no longer counts meanwhile.
  gate.Release(second);
  ASSERT_TRUE(gate.MarkInJob(*first, true));
  ASSERT_TRUE(gate.MarkInJob(*mOpen.back(), true));
  EXPECT_EQ(Admit(gate, "10.0.0.4", 2000), nullptr) << "no session between jobs, cap full";
  EXPECT_EQ(gate.ReportDue(2000), -1) << "the first refusal is reported at once";
  EXPECT_EQ(Admit(gate, "10.0.0.4", 2400), nullptr);
  EXPECT_EQ(gate.ReportDue(2400), 600) << "the next falls due a second after the last report";
  EXPECT_EQ(gate.ReportDue(3000), -1);
  gate.Release(first);
  EXPECT_NE(Admit(gate, "10.0.0.4", 3000), nullptr) << "a released slot is free at once";
  gate.Release(mOpen[2]);
  gate.Release(mOpen.back());
}

TEST(ActivityDeadlineTest, AFrameMustCompleteWithinTheLimitOfItsFirstByte) {
  ActivityDeadline deadline(1000);
  EXPECT_EQ(deadline.LeftMillis(0), -1) << "a new session waits for ever";
  deadline.Update(100, true, false, false);  // a frame's first byte
  deadline.Update(900, true, false, false);  // a drip does not extend it
  EXPECT_EQ(deadline.LeftMillis(1099), 1);
  EXPECT_EQ(deadline.LeftMillis(1100), 0);
  deadline.Update(1050, false, false, true);  // completed, no job: no limit
  EXPECT_EQ(deadline.LeftMillis(5000), -1);

  // A job under way: each completed frame gives the next one the whole limit, also the
  // print order of a complete upload.
  deadline.Update(6000, false, true, true);
  deadline.Update(6500, true, true, false);
  EXPECT_EQ(deadline.LeftMillis(6999), 1);
  deadline.Update(6800, false, true, true);
  EXPECT_EQ(deadline.LeftMillis(7799), 1);
  deadline.Update(7000, false, false, true);  // printed: between jobs again
  EXPECT_EQ(deadline.LeftMillis(100000), -1);

  ActivityDeadline never(0);
  never.Update(0, true, true, false);
  EXPECT_EQ(never.LeftMillis(1LL << 40), -1);
}

// A connection that ends a job (a time limit, a reset) fails that job, file removed; one
// that ends between jobs leaves the last job's outcome as it was.
TEST_F(SessionTest, AConnectionEndingAJobFailsItAndOneBetweenJobsKeepsTheLastOutcome) {
  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 4, "", 2)));
  Push(Frame(2, 0x12, {'d', 'a'}));
  ASSERT_EQ(mSession->mUpload.Outcome().state, JobState::kReceiving);
  mSession->AbandonJobWithReason("no print order came within 1 s of the upload");
  EXPECT_EQ(mSession->mUpload.Outcome().state, JobState::kFailed);
  EXPECT_EQ(mSession->mUpload.Outcome().spoolerJobId, 0u);
  EXPECT_EQ(mSession->mUpload.Outcome().message, "no print order came within 1 s of the upload");
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_FALSE(std::filesystem::exists(mSession->mUpload.JobFile()));

  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 2, "", 2)));
  Push(Frame(2, 0x12, {'h', 'i'}));
  Push(Frame(2, 0x13, {}));
  ASSERT_EQ(mSession->mUpload.Outcome().state, JobState::kSpooled);
  mSession->AbandonJobWithReason("the connection ended before the print order");
  EXPECT_EQ(mSession->mUpload.Outcome().state, JobState::kSpooled);
  EXPECT_EQ(mSession->mUpload.Outcome().spoolerJobId, kRecordedJobId);
}

// A reply that cannot be sent ends the session: what the peer sent after it is not read.
TEST_F(SessionTest, TheFirstReplyThatFailsEndsTheSession) {
  std::vector<std::uint8_t> requests;
  for (int index = 0; index < 3; ++index) {
    const std::vector<std::uint8_t> request = Frame(1, 0, {});
    requests.insert(requests.end(), request.begin(), request.end());
  }
  ResetPeer();
  EXPECT_EQ(Push(requests), kPushCloseConnection);
  EXPECT_EQ(mSession->mFramesHandled, 1u);
  EXPECT_EQ(mSession->mEnding, ClientHandlerInfo::Ending::kReplyFailed);
}

// A reply the peer does not take fails once its time is up instead of holding the session.
TEST_F(SessionTest, AReplyThePeerDoesNotTakeFailsWhenItsTimeIsUp) {
  const std::vector<std::uint8_t> reply(16 << 20);  // more than both socket buffers hold
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(quillmesh::platform::SendAll(mSession->mSocket, reply.data(), reply.size(), 300));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::seconds(10));
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
