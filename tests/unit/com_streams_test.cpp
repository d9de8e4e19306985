// The memory streams and global memory that stand in for the COM ones on Linux.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/posix/com/com_api.h"

namespace {

// A fresh stream that owns its memory.
IStream* NewStream() {
  IStream* stream = nullptr;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  return stream;
}

// Moves the position; the new position, or -1 when the stream refused.
long long SeekTo(IStream* stream, LONGLONG offset, DWORD origin) {
  LARGE_INTEGER move{};
  move.QuadPart = offset;
  ULARGE_INTEGER position{};
  if (FAILED(stream->Seek(move, origin, &position))) return -1;
  return static_cast<long long>(position.QuadPart);
}

// Up to size bytes from the position on.
std::string ReadUpTo(IStream* stream, ULONG size) {
  std::string bytes(size, '\0');
  ULONG read = 0;
  EXPECT_EQ(stream->Read(bytes.data(), size, &read), S_OK);
  bytes.resize(read);
  return bytes;
}

TEST(MemoryStreamTest, WritesReadsAndSeeks) {
  IStream* stream = NewStream();
  ULONG written = 0;
  ASSERT_EQ(stream->Write("hello world", 11, &written), S_OK);
  EXPECT_EQ(written, 11u);
  EXPECT_EQ(ReadUpTo(stream, 4), "");  // at the end
  EXPECT_EQ(SeekTo(stream, 6, STREAM_SEEK_SET), 6);
  EXPECT_EQ(ReadUpTo(stream, 100), "world");  // a short read is no error
  EXPECT_EQ(SeekTo(stream, -5, STREAM_SEEK_END), 6);
  EXPECT_EQ(SeekTo(stream, -6, STREAM_SEEK_CUR), 0);
  EXPECT_EQ(ReadUpTo(stream, 5), "hello");
  stream->Release();
}

TEST(MemoryStreamTest, WritingPastTheEndFillsTheGapWithZeros) {
  IStream* stream = NewStream();
  ASSERT_EQ(SeekTo(stream, 3, STREAM_SEEK_SET), 3);
  ASSERT_EQ(stream->Write("x", 1, nullptr), S_OK);
  EXPECT_EQ(SeekTo(stream, 0, STREAM_SEEK_END), 4);
  SeekTo(stream, 0, STREAM_SEEK_SET);
  EXPECT_EQ(ReadUpTo(stream, 10), std::string("\0\0\0x", 4));
  stream->Release();
}

TEST(MemoryStreamTest, RefusesPositionsOutsideTheStream) {
  IStream* stream = NewStream();
  stream->Write("abc", 3, nullptr);
  EXPECT_EQ(SeekTo(stream, -4, STREAM_SEEK_END), -1);
  EXPECT_EQ(SeekTo(stream, 0x7FFFFFFFFFFFFFFFLL, STREAM_SEEK_CUR), -1);
  EXPECT_EQ(SeekTo(stream, 0, 7), -1);
  EXPECT_EQ(SeekTo(stream, 0, STREAM_SEEK_CUR), 3);  // unchanged by the refusals
  EXPECT_EQ(SeekTo(stream, 0xFFFFFFFFLL, STREAM_SEEK_SET), 0xFFFFFFFFLL);
  ULONG written = 1;
  EXPECT_TRUE(FAILED(stream->Write("y", 1, &written)));  // would grow past 4 GiB
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(FAILED(stream->Read(nullptr, 1, nullptr)));
  stream->Release();
}

TEST(MemoryStreamTest, SharedReferencesKeepTheStreamAlive) {
  IStream* stream = NewStream();
  constexpr int kThreads = 4;
  constexpr int kRounds = 10000;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([stream] {
      for (int round = 0; round < kRounds; ++round) {
        stream->AddRef();
        stream->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(stream->AddRef(), 2u);
  EXPECT_EQ(stream->Release(), 1u);
  EXPECT_EQ(stream->Release(), 0u);
}

TEST(MemoryStreamTest, MemStreamCopiesItsStartingBytes) {
  BYTE bytes[] = {'a', 'b', 'c'};
  IStream* stream = SHCreateMemStream(bytes, sizeof bytes);
  ASSERT_NE(stream, nullptr);
  bytes[0] = 'z';
  EXPECT_EQ(ReadUpTo(stream, 8), "abc");
  stream->Release();
  IStream* empty = SHCreateMemStream(nullptr, 16);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(ReadUpTo(empty, 8), "");
  empty->Release();
}

TEST(GlobalMemoryTest, FixedBlocksAreZeroFilledOnRequest) {
  auto* block = static_cast<BYTE*>(GlobalAlloc(GPTR, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::vector<BYTE>(block, block + 4096), std::vector<BYTE>(4096, 0));
  EXPECT_EQ(GlobalFree(block), nullptr);
}

}  // namespace
