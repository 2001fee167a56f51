#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/IO.h"
#include "support/TestSupport.h"
#include "util/Console.h"

using std::chrono::milliseconds;

namespace {

// An IO over an in-memory device that the test fills; hangUp() makes the
// device report end of stream once it is empty.
class FakeIO : public IO {
 public:
  ~FakeIO() override { stopReadLoop(); }

  bool connect() override {
    setConnected(true);
    return startReadLoop();
  }
  bool isConnected() override { return connectedFlag(); }
  bool startReadLoop() override { return startReadThread("FakeIO::readLoop"); }

  int ioAvailable() override {
    std::lock_guard<std::mutex> lock(mu_);
    if (device_.empty() && hungUp_) {
      markDead("end of stream");
      return -1;
    }
    return static_cast<int>(device_.size());
  }
  int ioRead(unsigned char* bytes, int count) override {
    std::lock_guard<std::mutex> lock(mu_);
    int n = std::min(count, static_cast<int>(device_.size()));
    std::copy(device_.begin(), device_.begin() + n, bytes);
    device_.erase(device_.begin(), device_.begin() + n);
    return n;
  }
  void ioFlush() override {
    std::lock_guard<std::mutex> lock(mu_);
    device_.clear();
  }

  void feed(const std::vector<unsigned char>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    device_.insert(device_.end(), bytes.begin(), bytes.end());
  }
  void hangUp() {
    std::lock_guard<std::mutex> lock(mu_);
    hungUp_ = true;
  }
  void countLoopEndsIn(std::atomic<int>* counter) { loopEnds_ = counter; }
  void readLoop() override {
    IO::readLoop();
    if (loopEnds_ != nullptr) loopEnds_->fetch_add(1);
  }
  size_t inDevice() {
    std::lock_guard<std::mutex> lock(mu_);
    return device_.size();
  }

 private:
  std::mutex mu_;
  std::vector<unsigned char> device_;     // guarded by mu_
  bool hungUp_ = false;                   // guarded by mu_
  std::atomic<int>* loopEnds_ = nullptr;  // set before connect
};

std::vector<unsigned char> sequence(size_t count, size_t start = 0) {
  std::vector<unsigned char> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((start + i) * 31 + 7);
  return bytes;
}

constexpr milliseconds kWait{5000};

TEST(IOTest, FullRingLeavesTheRestWaitingInTheDevice) {
  FakeIO io;
  std::vector<unsigned char> all = sequence(RING_CAPACITY + 100);
  io.feed(all);
  ASSERT_TRUE(io.connect());
  ASSERT_TRUE(waitFor([&] { return io.available() == static_cast<int>(RING_CAPACITY); }, kWait));
  // Several more passes of the loop: nothing is dropped or overwritten.
  usleep(30000);
  EXPECT_EQ(io.available(), static_cast<int>(RING_CAPACITY));
  EXPECT_EQ(io.inDevice(), 100u);
  std::vector<unsigned char> got(all.size());
  ASSERT_EQ(io.readBuf(got.data(), 1000), 1000);
  ASSERT_TRUE(waitFor([&] { return io.inDevice() == 0; }, kWait));
  int rest = static_cast<int>(all.size()) - 1000;
  ASSERT_TRUE(waitFor([&] { return io.available() == rest; }, kWait));
  ASSERT_EQ(io.read(got.data() + 1000, rest), rest);
  EXPECT_EQ(got, all);
  EXPECT_EQ(io.getBytesIn(), all.size());
}

TEST(IOTest, ReadWaitsForBytesThatArriveLaterAndReadOfNothingIsZero) {
  FakeIO io;
  ASSERT_TRUE(io.connect());
  unsigned char byte;
  EXPECT_EQ(io.readonce(&byte, 1), 0);
  EXPECT_EQ(io.read(&byte, 0), 0);
  std::vector<unsigned char> bytes = sequence(50);
  std::thread late([&] {
    usleep(100000);
    io.feed(bytes);
  });
  std::vector<unsigned char> got(50);
  int n = io.read(got.data(), 50);
  late.join();
  EXPECT_EQ(n, 50);
  EXPECT_EQ(got, bytes);
}

TEST(IOTest, ReadOnClosedTransportFailsEvenWithBytesInRing) {
  FakeIO io;
  io.feed(sequence(10));
  ASSERT_TRUE(io.connect());
  ASSERT_TRUE(waitFor([&] { return io.available() == 10; }, kWait));
  io.close();
  unsigned char buffer[10];
  EXPECT_EQ(io.read(buffer, 10), -1);
  EXPECT_EQ(io.readBuf(buffer, 10), 0);
}

TEST(IOTest, DeadLinkYieldsBufferedBytesThenNegativeAvailable) {
  FakeIO io;
  std::vector<unsigned char> bytes = sequence(10);
  io.feed(bytes);
  io.hangUp();
  ASSERT_TRUE(io.connect());
  ASSERT_TRUE(waitFor([&] { return io.isLinkDead(); }, kWait));
  EXPECT_EQ(io.available(), 10);
  std::vector<unsigned char> got(10);
  EXPECT_EQ(io.readBuf(got.data(), 10), 10);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(io.available(), -1);
  // The loop has ended by itself.
  EXPECT_TRUE(waitFor([&] { return io.readLoopTid() == 0; }, kWait));
}

// clear() runs on the consumer while the loop keeps appending: what is read
// afterwards is always an unbroken run of the device's stream.
TEST(IOTest, ClearWhileReadLoopRunsKeepsLaterBytesInOrder) {
  FakeIO io;
  ASSERT_TRUE(io.connect());
  constexpr size_t kChunk = 3000;
  constexpr int kRounds = 200;
  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    size_t position = 0;
    for (int i = 0; i < kRounds; ++i) {
      while (io.inDevice() > kChunk) usleep(1000);
      io.feed(sequence(kChunk, position));
      position += kChunk;
    }
    fed = true;
  });
  std::vector<unsigned char> buffer(RING_SLOTS);
  int breaks = 0;
  int checked = 0;
  while (!fed) {
    io.ringClear();
    usleep(2000);
    int n = io.readBuf(buffer.data(), static_cast<int>(buffer.size()));
    if (n < 2) continue;
    ++checked;
    for (int k = 1; k < n; ++k) {
      if (static_cast<unsigned char>(buffer[k] - buffer[k - 1]) != 31) ++breaks;
    }
  }
  feeder.join();
  EXPECT_GT(checked, 10);
  EXPECT_EQ(breaks, 0);
}

TEST(IOTest, DumpAppendsEveryReceivedByteToTheHourlyFile) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  IO::enableDumpIn(true);
  std::vector<unsigned char> first = sequence(700);
  std::vector<unsigned char> second = sequence(300, 700);
  {
    FakeIO a;
    FakeIO b;
    a.feed(first);
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(waitFor([&] { return a.available() == 700; }, kWait));
    b.feed(second);
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(waitFor([&] { return b.available() == 300; }, kWait));
  }
  IO::enableDumpIn(false);
  std::string dumped;
  for (const std::string& name : listDir(dir.path() + "dump")) {
    EXPECT_EQ(name.size(), std::string("20240101_00.dump").size()) << name;
    dumped += readText(dir.path() + "dump/" + name);
  }
  std::vector<unsigned char> want = first;
  want.insert(want.end(), second.begin(), second.end());
  EXPECT_EQ(std::vector<unsigned char>(dumped.begin(), dumped.end()), want);
}

TEST(IOTest, DestroyingWhileTheLoopReadsWaitsForTheLoopToEnd) {
  std::atomic<int> ended{0};
  for (int i = 0; i < 20; ++i) {
    {
      FakeIO io;
      io.countLoopEndsIn(&ended);
      io.feed(sequence(RING_CAPACITY * 2));
      ASSERT_TRUE(io.connect());
      usleep(static_cast<useconds_t>(i * 300));
    }
    EXPECT_EQ(ended.load(), i + 1);
  }
}

}  // namespace
