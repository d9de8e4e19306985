// Admission of accepted connections: the allow-list, the cap on open sessions and the
// cap per peer address. A full cap makes room by ending its longest-idle session that
// is between jobs, so idle connections cannot shut newcomers out. Refusals are counted
// and logged at most once a second, so a flood of connections cannot flood the log too.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "front/refusal_counter.h"
#include "support/allow_list.h"
#include "platform/platform.h"

// Milliseconds of a clock that never jumps, the gate's and the sessions' time.
std::int64_t SteadyMillis();

// One admitted session as the gate sees it, from its admission until its release.
struct SessionSlot {
  SessionSlot(std::uint32_t address, SOCKET connection, std::int64_t nowMillis,
              std::int64_t wallMillis)
      : peerAddress(address),
        socket(connection),
        admittedAtMillis(wallMillis),
        lastHeardMillis(nowMillis) {}

  const std::uint32_t peerAddress;  // IPv4, host byte order
  const SOCKET socket;
  const std::int64_t admittedAtMillis;  // milliseconds since 1970 UTC
  // When the session last received anything; written by its own thread.
  std::atomic<std::int64_t> lastHeardMillis;
  // Bytes received so far, and the job it receives (0 between jobs); written by its own
  // thread, read by whoever lists the sessions.
  std::atomic<std::uint64_t> bytesReceived{0};
  std::atomic<std::uint32_t> jobId{0};
  // Guarded by the gate's lock.
  bool inJob = false;
  bool evicted = false;  // ended to make room; it no longer counts against a cap
};

// One open session as the gate lists it.
struct OpenSession {
  std::uint32_t peerAddress = 0;  // IPv4, host byte order
  std::uint32_t jobId = 0;        // the job it receives; 0 between jobs
  std::uint64_t bytesReceived = 0;
  std::int64_t admittedAtMillis = 0;  // milliseconds since 1970 UTC
};

// The two caps, 1 to 1024 each.
struct SessionCaps {
  unsigned maxSessions = 1024;
  unsigned maxPerPeer = 16;
};

class SessionGate {
 public:
  SessionGate(const SessionCaps& caps, const AllowList& allow);

  // Admits the peer (IPv4, host byte order) when the allow-list and both caps let it in,
  // ending a session between jobs to make room where a cap is full; the new session's
  // slot, held until Release, or nullptr when it is refused. Called by one thread only.
  SessionSlot* Admit(std::uint32_t peerAddress, SOCKET socket, std::int64_t nowMillis);

  // Gives back the slot of a session that ends; before its socket is closed, so that
  // the gate never shuts down a socket number already given to another connection.
  void Release(SessionSlot* slot);

  // Records whether the session has a job under way (only one between jobs may be ended
  // to make room); false when it was ended for room already and must stop.
  bool MarkInJob(SessionSlot& slot, bool inJob);

  // The sessions open now, in the order they were admitted; those ended to make room are
  // left out. Safe while sessions end on other threads.
  std::vector<OpenSession> ListOpen() const;

  // Logs the refusals that are due; the milliseconds until the next report may fall due,
  // -1 when no refusal waits. Called by the thread that calls Admit.
  std::int64_t ReportDue(std::int64_t nowMillis);

 private:
  // The open session of that address (any address when `anyAddress`) heard from
  // longest ago among those between jobs; nullptr when every one has a job under way.
  SessionSlot* LongestIdle(std::uint32_t peerAddress, bool anyAddress);
  // Makes room under a full cap, or counts the refusal; false when refused.
  bool MakeRoom(std::uint32_t peerAddress, std::int64_t nowMillis);
  void Evict(SessionSlot& victim, std::uint32_t newcomer, std::int64_t nowMillis,
             const char* capName);

  const SessionCaps mCaps;
  const AllowList mAllow;
  mutable std::mutex mLock;
  std::list<SessionSlot> mSlots;  // guarded by mLock; a slot's address stays valid
  unsigned mOpenSessions = 0;     // slots not evicted, guarded by mLock
  // Only the listener thread counts refusals.
  RefusalCounter mOverCap;
  RefusalCounter mOverPeerCap;
  RefusalCounter mNotAllowed;
  std::uint32_t mLastRefusedPeer = 0;
  std::uint32_t mLastCrowdedPeer = 0;
};
