// The job folder's free space shared among uploads: the reserve at its edge, holds
// adding up across uploads, and every way a hold is given back.
#include <gtest/gtest.h>

#include <cstdint>

#include "front/upload_hold.h"

namespace {

constexpr std::uint64_t kMiB = 1ULL << 20;

// A space whose free bytes the test sets; unreadable when asked to be.
class FakeSpace {
 public:
  std::uint64_t available = 255 * kMiB;
  bool readable = true;
  UploadSpace space{[this](std::uint64_t& bytes) {
    bytes = available;
    return readable;
  }};
};

TEST(UploadSpaceTest, AnUploadIsAdmittedExactlyWhileItLeavesTheReserve) {
  FakeSpace folder;
  UploadSpaceReading reading;
  UploadHold hold;
  const std::uint64_t reserve = 100 * kMiB;
  EXPECT_FALSE(hold.Admit(folder.space, 155 * kMiB + 1, reserve, reading));
  EXPECT_EQ(folder.space.Held(), 0u);
  EXPECT_EQ(reading.available, 255 * kMiB);
  EXPECT_TRUE(hold.Admit(folder.space, 155 * kMiB, reserve, reading));
  EXPECT_EQ(folder.space.Held(), 155 * kMiB);

  UploadHold larger;  // more than the folder has free at all
  EXPECT_FALSE(larger.Admit(folder.space, 256 * kMiB, 0, reading));
  EXPECT_EQ(reading.held, 155 * kMiB);
}

TEST(UploadSpaceTest, ConcurrentUploadsCannotCountOnTheSameFreeBytes) {
  FakeSpace folder;  // 255 MiB free, uploads of 150 MiB, no reserve
  UploadSpaceReading reading;
  UploadHold first, second, third;
  EXPECT_TRUE(first.Admit(folder.space, 150 * kMiB, 0, reading));
  EXPECT_FALSE(second.Admit(folder.space, 150 * kMiB, 0, reading));
  EXPECT_EQ(reading.held, 150 * kMiB);
  // Exactly what the first upload leaves is admitted, one byte more is not.
  EXPECT_FALSE(second.Admit(folder.space, 105 * kMiB + 1, 0, reading));
  EXPECT_TRUE(second.Admit(folder.space, 105 * kMiB, 0, reading));
  EXPECT_FALSE(third.Admit(folder.space, 1, 0, reading));
}

TEST(UploadSpaceTest, WrittenAndAbandonedBytesAreGivenBack) {
  FakeSpace folder;
  UploadSpaceReading reading;
  UploadHold upload;
  ASSERT_TRUE(upload.Admit(folder.space, 150 * kMiB, 0, reading));
  upload.Written(50 * kMiB);
  folder.available -= 50 * kMiB;  // the written bytes now show in the free space
  EXPECT_EQ(folder.space.Held(), 100 * kMiB);
  UploadHold next;
  EXPECT_FALSE(next.Admit(folder.space, 105 * kMiB + 1, 0, reading));
  EXPECT_TRUE(next.Admit(folder.space, 105 * kMiB, 0, reading));
  next.Release();

  upload.Written(200 * kMiB);  // never gives back more than it held
  EXPECT_EQ(folder.space.Held(), 0u);
  {
    UploadHold ended;
    ASSERT_TRUE(ended.Admit(folder.space, 10 * kMiB, 0, reading));
    ASSERT_TRUE(ended.Admit(folder.space, 20 * kMiB, 0, reading));  // replaces the first
    EXPECT_EQ(folder.space.Held(), 20 * kMiB);
  }  // its session ended
  EXPECT_EQ(folder.space.Held(), 0u);
}

TEST(UploadSpaceTest, AFolderWhoseSpaceCannotBeReadAdmitsAndStillCounts) {
  FakeSpace folder;
  folder.readable = false;
  UploadSpaceReading reading;
  UploadHold upload;
  EXPECT_TRUE(upload.Admit(folder.space, 1ULL << 40, 1ULL << 40, reading));
  EXPECT_EQ(folder.space.Held(), 1ULL << 40);
  upload.Release();
  EXPECT_EQ(folder.space.Held(), 0u);
}

}  // namespace
