#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "io/RingBuffer.h"

namespace {

// The byte at stream position p: differs between positions 256 apart, so a
// chunk delivered twice, skipped or out of order breaks the sequence.
unsigned char streamByte(uint64_t p) {
  return static_cast<unsigned char>(p ^ (p >> 8) ^ (p >> 16) ^ (p >> 24));
}

TEST(RingBufferTest, HoldsCapacityBytesAndRefusesTheNext) {
  RingBuffer<unsigned char> ring;
  std::vector<unsigned char> in(RING_SLOTS, 7);
  EXPECT_EQ(ring.push(in.data(), RING_SLOTS), RING_CAPACITY);
  EXPECT_EQ(ring.available(), RING_CAPACITY);
  EXPECT_EQ(ring.freeSpace(), 0u);
  EXPECT_EQ(ring.push(in.data(), 1), 0u);
  unsigned char out;
  EXPECT_EQ(ring.pop(&out, 1), 1u);
  EXPECT_EQ(ring.freeSpace(), 1u);
  EXPECT_EQ(ring.push(in.data(), 5), 1u);
}

TEST(RingBufferTest, PushEndingExactlyAtStorageEndWrapsHeadToZero) {
  RingBuffer<unsigned char> ring;
  std::vector<unsigned char> in(RING_CAPACITY);
  std::vector<unsigned char> out(RING_SLOTS);
  for (uint32_t i = 0; i < RING_CAPACITY; ++i) in[i] = streamByte(i);
  ASSERT_EQ(ring.push(in.data(), RING_CAPACITY), RING_CAPACITY);
  ASSERT_EQ(ring.pop(out.data(), RING_CAPACITY), RING_CAPACITY);
  EXPECT_EQ(ring.TEST_head(), RING_CAPACITY);
  unsigned char last = 0xA5;
  ASSERT_EQ(ring.push(&last, 1), 1u);  // fills the final slot
  EXPECT_EQ(ring.TEST_head(), 0u);
  unsigned char first = 0x5A;
  ASSERT_EQ(ring.push(&first, 1), 1u);  // lands at index 0
  EXPECT_EQ(ring.TEST_head(), 1u);
  ASSERT_EQ(ring.pop(out.data(), 2), 2u);
  EXPECT_EQ(out[0], 0xA5);
  EXPECT_EQ(out[1], 0x5A);
  EXPECT_EQ(ring.TEST_tail(), 1u);
}

TEST(RingBufferTest, ChunkAcrossStorageEndKeepsOrder) {
  RingBuffer<unsigned char> ring;
  std::vector<unsigned char> fill(RING_SLOTS - 10);
  std::vector<unsigned char> out(RING_SLOTS);
  ring.push(fill.data(), static_cast<uint32_t>(fill.size()));
  ring.pop(out.data(), static_cast<uint32_t>(fill.size()));
  std::vector<unsigned char> in(30);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(100 + i);
  ASSERT_EQ(ring.push(in.data(), 30), 30u);
  EXPECT_EQ(ring.TEST_head(), 20u);
  // Popped in two pieces, one ending right at the storage end.
  ASSERT_EQ(ring.pop(out.data(), 10), 10u);
  EXPECT_EQ(ring.TEST_tail(), 0u);
  ASSERT_EQ(ring.pop(out.data() + 10, 100), 20u);
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 30), in);
}

TEST(RingBufferTest, ClearDropsPublishedBytesOnly) {
  RingBuffer<unsigned char> ring;
  unsigned char in[4] = {1, 2, 3, 4};
  ring.push(in, 4);
  ring.clear();
  EXPECT_EQ(ring.available(), 0u);
  EXPECT_EQ(ring.TEST_tail(), 4u);  // tail moved to head; head untouched
  EXPECT_EQ(ring.TEST_head(), 4u);
  ring.push(in + 2, 2);
  unsigned char out[4] = {};
  EXPECT_EQ(ring.pop(out, 4), 2u);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[1], 4);
}

// Producer and consumer on two threads with changing chunk sizes move more
// than 100 MB; every byte must arrive once and in order.
TEST(RingBufferTest, TwoThreadStressDeliversStrictSequence) {
  constexpr uint64_t kTotal = 100ull * 1024 * 1024 + 12345;
  RingBuffer<unsigned char> ring;
  uint64_t sentSum = 0;
  std::thread producer([&ring, &sentSum] {
    std::vector<unsigned char> chunk(RING_SLOTS);
    uint64_t sent = 0;
    uint32_t size = 1;
    while (sent < kTotal) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, kTotal - sent));
      for (uint32_t i = 0; i < n; ++i) {
        chunk[i] = streamByte(sent + i);
        sentSum += chunk[i];
      }
      uint32_t done = 0;
      while (done < n) {
        uint32_t k = ring.push(chunk.data() + done, n - done);
        if (k == 0) std::this_thread::yield();
        done += k;
      }
      sent += n;
      size = size * 7 % 9973 + 1;  // 1 .. 9973, wandering
    }
  });
  std::vector<unsigned char> out(RING_SLOTS);
  uint64_t got = 0;
  uint64_t mismatches = 0;
  uint64_t sum = 0;
  uint32_t size = 3;
  while (got < kTotal) {
    uint32_t k = ring.pop(out.data(), size);
    if (k == 0) {
      std::this_thread::yield();
      continue;
    }
    for (uint32_t i = 0; i < k; ++i) {
      unsigned char want = streamByte(got + i);
      mismatches += out[i] != want;
      sum += out[i];
    }
    got += k;
    size = size * 13 % 16381 + 1;
  }
  producer.join();
  EXPECT_EQ(got, kTotal);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(sum, sentSum);
  EXPECT_EQ(ring.available(), 0u);
}

}  // namespace
