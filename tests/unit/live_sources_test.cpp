// What the administrator's window reads from the running server: the open sessions as
// the gate lists them (their bytes and job counted by the session itself), the settings
// in force and where they came from, and any peer's job found and canceled.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "admin/live_sources.h"
#include "eventually.h"
#include "front/session_gate.h"
#include "session_fixture.h"
#include "support/log_ring.h"
#include "test_environment.h"

namespace {

constexpr std::uint32_t kPeerA = 0xC0000207;  // 192.0.2.7
constexpr std::uint32_t kPeerB = 0xC0000208;  // 192.0.2.8

// The kept log lines that hold the text.
std::vector<LogLineView> LinesWith(const AdminSources& sources, const std::string& text) {
  std::vector<LogLineView> found;
  for (LogLineView& line : sources.LogLines()) {
    if (line.text.find(text) != std::string::npos) found.push_back(std::move(line));
  }
  return found;
}

TEST(LiveSessionsTest, OpenSessionsAreListedUntilReleasedAndThoseEndedForRoomAreNot) {
  const AllowList everyone;
  SessionGate gate({2, 2}, everyone);
  JobRegistry jobs;
  const LiveAdminSources sources(jobs, gate);
  EXPECT_TRUE(sources.Sessions().empty());

  const std::int64_t before = JobClockMillis();
  SessionSlot* first = gate.Admit(kPeerA, INVALID_SOCKET, 0);
  SessionSlot* second = gate.Admit(kPeerB, INVALID_SOCKET, 10);
  const std::int64_t after = JobClockMillis();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  second->bytesReceived += 1234;
  std::vector<SessionView> sessions = sources.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].peer, "192.0.2.7");
  EXPECT_EQ(sessions[0].state, "between jobs");
  EXPECT_EQ(sessions[0].bytesReceived, 0u);
  EXPECT_GE(sessions[0].sinceMillis, before);
  EXPECT_LE(sessions[0].sinceMillis, after);
  EXPECT_EQ(sessions[1].peer, "192.0.2.8");
  EXPECT_EQ(sessions[1].bytesReceived, 1234u);

  // The cap is full: the longest-idle session is ended to make room, and no longer shown
  // although its thread has not released it yet.
  SessionSlot* third = gate.Admit(kPeerB, INVALID_SOCKET, 20);
  ASSERT_NE(third, nullptr);
  sessions = sources.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].peer, "192.0.2.8");
  EXPECT_EQ(sessions[1].peer, "192.0.2.8");

  gate.Release(first);
  gate.Release(second);
  EXPECT_EQ(sources.Sessions().size(), 1u);
  gate.Release(third);
  EXPECT_TRUE(sources.Sessions().empty());
}

class LiveSessionTest : public SessionTest {
 protected:
  const AllowList mEveryone{};
  SessionGate mGate{{4, 4}, mEveryone};
  LiveAdminSources mSources{mPrintService.Jobs(), mGate};
};

// The session's own thread reads the connection: every byte it receives is counted, its
// lines are its peer's, and its slot is gone from the list once the connection ends.
TEST_F(LiveSessionTest, ASessionCountsWhatItReceivesAndLeavesTheListWhenItEnds) {
  SessionSlot* slot = mGate.Admit(kPeerA, mSession->mSocket, SteadyMillis());
  ASSERT_NE(slot, nullptr);
  mSession->AttachToGate(mGate, *slot);
  ClientHandlerInfo* session = std::exchange(mSession, nullptr);
  std::thread serving(clientHandlerThread, session);

  // A frame begun and not finished: 3 + 4 bytes, then 5 more of its payload.
  const std::vector<std::uint8_t> frame = Frame(2, 0x11, std::vector<std::uint8_t>(64, 'x'));
  ASSERT_EQ(::send(mPeerSocket, reinterpret_cast<const char*>(frame.data()), 7, 0), 7);
  ASSERT_TRUE(Eventually([&] {
    const std::vector<SessionView> open = mSources.Sessions();
    return open.size() == 1 && open[0].bytesReceived == 7;
  }));
  ASSERT_EQ(::send(mPeerSocket, reinterpret_cast<const char*>(frame.data() + 7), 5, 0), 5);
  EXPECT_TRUE(Eventually([&] {
    const std::vector<SessionView> open = mSources.Sessions();
    return open.size() == 1 && open[0].bytesReceived == 12;
  }));

  ShutdownPeer();
  EXPECT_TRUE(Eventually([&] { return mSources.Sessions().empty(); }));
  serving.join();
  const std::vector<LogLineView> received = LinesWith(mSources, " recv 5");
  ASSERT_FALSE(received.empty());
  for (const LogLineView& line : received) {
    EXPECT_EQ(line.peer, "192.0.2.7") << line.text;
    EXPECT_EQ(line.jobId, 0u) << line.text;
  }
}

TEST_F(LiveSessionTest, AJobUnderWayShowsInItsSessionAndItsLinesAreTaggedWithIt) {
  SessionSlot* slot = mGate.Admit(kPeerA, INVALID_SOCKET, 0);
  ASSERT_NE(slot, nullptr);
  mSession->AttachToGate(mGate, *slot);
  Push(Frame(2, 0x11, HeaderPayload("Lab", "tagged.bin", 2, "", 2)));
  const std::uint32_t jobId = mSession->mUpload.LastJobId();
  ASSERT_NE(jobId, 0u);
  std::vector<SessionView> sessions = mSources.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].state, "receiving job " + std::to_string(jobId));

  const std::vector<LogLineView> opened =
      LinesWith(mSources, "job " + std::to_string(jobId) + ": 192.0.2.7 sends");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].jobId, jobId);
  EXPECT_EQ(opened[0].peer, "192.0.2.7");

  Push(Frame(2, 0x12, {'h', 'i'}));
  Push(Frame(2, 0x13, {}));
  ASSERT_EQ(RecordedPrints().size(), 1u);
  sessions = mSources.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].state, "between jobs");
  // Lines after the job's end are no longer its own.
  LOG_DEBUG("after the tagged job\n");
  const std::vector<LogLineView> after = LinesWith(mSources, "after the tagged job");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].jobId, 0u);
  mSession->ReleaseSlot();
}

// The settings in force, each with where it came from.
class LiveSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetEnvironment("QUILLMESH_PORT", "");
    SetEnvironment(kSecret.name, "");
  }
  // A made-up secret: every setting named so is masked, whichever it is.
  static constexpr SettingEntry kSecret{"QUILLMESH_TEST_PASSWORD", "none", "", 0, 0, nullptr};
};

TEST_F(LiveSettingsTest, EverySettingShowsTheEnvironmentsTextOrItsDefault) {
  SetEnvironment("QUILLMESH_PORT", "9199");
  const AllowList everyone;
  const SessionGate gate({1, 1}, everyone);
  JobRegistry jobs;
  const std::vector<SettingView> settings = LiveAdminSources(jobs, gate).Settings();
  ASSERT_EQ(settings.size(), SettingEntries().size());
  for (std::size_t index = 0; index < settings.size(); ++index) {
    const SettingEntry& entry = SettingEntries()[index];
    EXPECT_EQ(settings[index].name, entry.name);
    if (settings[index].name == "QUILLMESH_PORT") {
      EXPECT_EQ(settings[index].value, "9199");
      EXPECT_EQ(settings[index].origin, "environment");
    } else if (quillmesh::platform::GetEnvironment(entry.name) == nullptr) {
      EXPECT_EQ(settings[index].value, entry.defaultText);
      EXPECT_EQ(settings[index].origin, "default");
    }
  }
  // An empty text is no setting: the default is in force.
  SetEnvironment("QUILLMESH_PORT", "");
  const SettingView port = SettingInForce(SettingEntries()[0]);
  EXPECT_EQ(port.value, "9099");
  EXPECT_EQ(port.origin, "default");
}

TEST_F(LiveSettingsTest, APasswordShowsOnlyWhetherItIsSet) {
  SettingView secret = SettingInForce(kSecret);
  EXPECT_EQ(secret.value, "(not set)");
  EXPECT_EQ(secret.origin, "default");
  SetEnvironment(kSecret.name, "hunter2");
  secret = SettingInForce(kSecret);
  EXPECT_EQ(secret.value, "(set)");
  EXPECT_EQ(secret.origin, "environment");
  // Only a name that ends so is a password.
  SetEnvironment("QUILLMESH_PORT", "hunter2");
  const SettingEntry notSecret{"QUILLMESH_PORT", "", "", 0, 0, nullptr};
  EXPECT_EQ(SettingInForce(notSecret).value, "hunter2");
}

TEST(LiveJobsTest, AnyPeersJobIsFoundAndCanceledAsItsOwnPeerWould) {
  const AllowList everyone;
  const SessionGate gate({1, 1}, everyone);
  JobRegistry jobs;
  LiveAdminSources sources(jobs, gate);
  std::shared_ptr<TrackedJob> job = jobs.Open({"192.0.2.9", "Lab", "a.pdf", 3, 10, ""});
  const std::uint32_t id = job->Id();
  ASSERT_TRUE(sources.Job(id).has_value());
  EXPECT_EQ(sources.Job(id)->description.peer, "192.0.2.9");
  EXPECT_FALSE(sources.Job(id + 1).has_value());
  EXPECT_EQ(sources.CancelJob(id + 1).outcome.state, JobState::kNoJob);
  ASSERT_EQ(sources.Jobs().size(), 1u);

  // The job's worker sees the cancel and stops, as a print path does.
  std::thread worker([&] {
    if (!Eventually([&] { return job->CancelRequested(); })) return;
    JobOutcome stopped;
    RecordJobFailure(stopped, "stopped");
    job->Finish(stopped);
    job.reset();
  });
  const JobStatus status = sources.CancelJob(id);
  worker.join();
  EXPECT_EQ(status.outcome.state, JobState::kCanceled);
  EXPECT_EQ(sources.Job(id)->state, JobState::kCanceled);
}

}  // namespace
