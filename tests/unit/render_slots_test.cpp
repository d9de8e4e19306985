// The render slot scheduler: the slot limit, whose turn it is when a slot frees, giving
// a slot up between pages, and waking the waiter that was granted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "print/render_slot.h"
#include "print/render_slots.h"

namespace {

// Which of the renderings hold a slot, as a string of 0s and 1s.
std::string HeldPattern(const std::vector<std::unique_ptr<RenderSlot>>& slots) {
  std::string pattern;
  for (const auto& slot : slots) pattern += slot->Held() ? '1' : '0';
  return pattern;
}

TEST(RenderSlotsTest, ExactlyTheLimitRunsAtOnceAndAReleaseLetsTheNextIn) {
  for (const int limit : {1, 3}) {
    SCOPED_TRACE(limit);
    RenderSlots pool(limit);
    std::vector<std::unique_ptr<RenderSlot>> slots;
    for (int index = 0; index <= limit; ++index) {
      slots.push_back(std::make_unique<RenderSlot>(pool, "10.0.0." + std::to_string(index)));
    }
    EXPECT_EQ(HeldPattern(slots), std::string(limit, '1') + "0");
    slots.front()->Release();
    slots.front()->Release();  // a second release frees no second slot
    std::string firstFreed(static_cast<std::size_t>(limit) + 1, '1');
    firstFreed.front() = '0';  // built in place: GCC 12 warns falsely on "0" + string
    EXPECT_EQ(HeldPattern(slots), firstFreed);
    RenderSlot late(pool, "10.0.0.9");
    EXPECT_FALSE(late.Held());
  }
}

TEST(RenderSlotsTest, PeersTakeTurnsAndOnePeersRenderingsKeepTheirOrder) {
  RenderSlots pool(1);
  std::vector<std::unique_ptr<RenderSlot>> slots;
  // A1 runs; then A2, A3, B1, C1 and B2 ask, in that order.
  for (const char* peer : {"A", "A", "A", "B", "C", "B"}) {
    slots.push_back(std::make_unique<RenderSlot>(pool, peer));
  }
  // Each release hands the slot on: B1, C1, A2, B2, A3.
  for (const int next : {3, 4, 1, 5, 2}) {
    for (auto& slot : slots) {
      if (slot && slot->Held()) {
        slot.reset();
        break;
      }
    }
    ASSERT_TRUE(slots[static_cast<std::size_t>(next)]);
    EXPECT_TRUE(slots[static_cast<std::size_t>(next)]->Held()) << "expected rendering " << next;
  }
}

TEST(RenderSlotsTest, ARenderingGivesWayOnlyToAnotherPeerAndGetsItsTurnBackFirst) {
  RenderSlots pool(1);
  RenderSlot first(pool, "A");
  RenderSlot second(pool, "A");
  EXPECT_FALSE(first.ShouldGiveWay()) << "its own peer's later rendering waits behind it";
  EXPECT_FALSE(second.ShouldGiveWay()) << "a waiting rendering has nothing to give";

  auto other = std::make_unique<RenderSlot>(pool, "B");
  ASSERT_TRUE(first.ShouldGiveWay());
  int firstHeldAgain = 0;
  first.GiveWay([&] { ++firstHeldAgain; });
  EXPECT_TRUE(other->Held());
  EXPECT_FALSE(first.Held());
  EXPECT_EQ(firstHeldAgain, 0);
  // B was served last: at its next page turn it hands the slot back, to A's first
  // rendering, not to the one behind it, which hears of it once.
  ASSERT_TRUE(other->ShouldGiveWay());
  other->GiveWay();
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(firstHeldAgain, 1);
  EXPECT_FALSE(second.Held());
  other.reset();  // leaves the queue while waiting
  EXPECT_FALSE(first.ShouldGiveWay());
  first.Release();
  EXPECT_TRUE(second.Held());
  EXPECT_EQ(firstHeldAgain, 1);
}

TEST(RenderSlotsTest, ARenderingSteppingBackWaitsBehindItsPeersOthersAndAnotherPeersTurn) {
  RenderSlots pool(1);
  RenderSlot first(pool, "A");
  RenderSlot second(pool, "A");
  int firstHeldAgain = 0;
  first.StepBack([&] { ++firstHeldAgain; });
  EXPECT_TRUE(second.Held()) << "the slot goes to the peer's rendering it stepped behind";
  EXPECT_FALSE(first.Held());
  RenderSlot other(pool, "B");
  second.Release();
  EXPECT_TRUE(other.Held()) << "B was never served: its turn comes first";
  EXPECT_EQ(firstHeldAgain, 0);
  other.Release();
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(firstHeldAgain, 1);
  first.StepBack();
  EXPECT_TRUE(first.Held()) << "alone in the pool, it gets its slot straight back";
}

TEST(RenderSlotsTest, WithSeveralSlotsAPeerGivesWayOnlyDownToAnEqualShare) {
  RenderSlots pool(2);
  RenderSlot a1(pool, "A");
  RenderSlot a2(pool, "A");
  RenderSlot b1(pool, "B");
  RenderSlot b2(pool, "B");
  ASSERT_TRUE(a1.ShouldGiveWay());
  a1.GiveWay();
  EXPECT_TRUE(b1.Held());
  EXPECT_FALSE(a2.ShouldGiveWay()) << "A and B hold one slot each";
  EXPECT_FALSE(b1.ShouldGiveWay()) << "B holds no more than A";
}

TEST(RenderSlotsTest, AFreedSlotWakesTheWaiterWhoseTurnItIs) {
  RenderSlots pool(1);
  auto running = std::make_unique<RenderSlot>(pool, "A");
  RenderSlot later(pool, "A");
  RenderSlot otherPeer(pool, "B");
  std::atomic<bool> laterWoke{false};
  std::atomic<bool> otherWoke{false};
  std::thread laterThread([&] {
    later.Wait();
    laterWoke = true;
  });
  std::thread otherThread([&] {
    otherPeer.Wait();
    otherWoke = true;
  });
  running.reset();
  EXPECT_TRUE(Eventually([&] { return otherWoke.load(); }));
  EXPECT_FALSE(laterWoke) << "A's second rendering went before B";
  otherPeer.Release();
  EXPECT_TRUE(Eventually([&] { return laterWoke.load(); }));
  laterThread.join();
  otherThread.join();
}

}  // namespace

namespace {

TEST(RenderSlotsTest, AWithdrawnWaiterWakesWithoutASlotAndTheQueueGoesOn) {
  RenderSlots pool(1);
  RenderSlot running(pool, "A");
  RenderSlot canceled(pool, "B");
  RenderSlot next(pool, "C");
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    canceled.Wait();
    woke = true;
  });
  canceled.Withdraw();
  waiter.join();  // hangs here if the wait is not woken
  EXPECT_TRUE(woke);
  EXPECT_FALSE(canceled.Held());
  running.Release();
  EXPECT_TRUE(next.Held()) << "the withdrawn rendering kept its place in the queue";
  canceled.Withdraw();  // again, once released: nothing
  EXPECT_TRUE(next.Held());
}

// A claim only if free takes the last free slot and not one more, never one another
// peer's rendering waits for (even as it comes free), and is not queued: a release
// later does not hand it one.
TEST(RenderSlotsTest, ASlotOnlyIfFreeTakesWhatIsFreeAndJumpsNoQueue) {
  RenderSlots pool(2);
  RenderSlot first(pool, "A");
  RenderSlot last(pool, "A", RenderSlot::IfFree{});
  EXPECT_TRUE(last.Held()) << "the last free slot";
  RenderSlot none(pool, "A", RenderSlot::IfFree{});
  EXPECT_FALSE(none.Held()) << "one past the slots";
  RenderSlot waiting(pool, "B");
  last.Release();
  EXPECT_TRUE(waiting.Held()) << "the freed slot goes to the peer that waited";
  RenderSlot late(pool, "A", RenderSlot::IfFree{});
  EXPECT_FALSE(late.Held());
  first.Release();
  EXPECT_FALSE(none.Held()) << "a claim only if free never waits";
  EXPECT_FALSE(late.Held());
  RenderSlot again(pool, "C", RenderSlot::IfFree{});
  EXPECT_TRUE(again.Held());
}

}  // namespace
