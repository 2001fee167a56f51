// Whole sessions: the loop runs on its own thread over an in-memory link
// with a read loop, and a scripted instrument answers from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "session/SessionTestSupport.h"

namespace {

using S = SeisServerState;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The instrument end: collects every frame the hub writes and lets a script
// answer each one.
class FakeInstrument {
 public:
  using Script = std::function<void(const SelvomaPacket&, FakeInstrument&)>;

  FakeInstrument(MemoryIO& io, Script script) : io_(io), script_(std::move(script)) {
    thread_ = std::thread([this] { run(); });
  }
  ~FakeInstrument() {
    stop_ = true;
    thread_.join();
  }
  void send(const std::string& bytes) { io_.feed(bytes); }
  std::vector<SelvomaPacket> frames() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  int count(uint8_t type) {
    int n = 0;
    for (const auto& f : frames()) n += f.type == type ? 1 : 0;
    return n;
  }

 private:
  void run() {
    while (!stop_) {
      for (const SelvomaPacket& f : splitFrames(io_.takeWritten())) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          frames_.push_back(f);
        }
        if (script_) script_(f, *this);
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
  }

  MemoryIO& io_;
  Script script_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<SelvomaPacket> frames_;  // guarded by mu_
  std::thread thread_;
};

// Answers IDENTIFY and LINK_INIT like an instrument that starts a link.
void identifying(const SelvomaPacket& f, FakeInstrument& inst) {
  if (f.type == SelvomaPacket::IDENTIFY) inst.send(frame(SelvomaPacket::IDENTIFY, STATION));
  if (f.type == SelvomaPacket::LINK_INIT) inst.send(frame(SelvomaPacket::LINK_INIT, STATION));
}

}  // namespace

class SessionLoopTest : public SessionFixture {
 protected:
  explicit SessionLoopTest(const std::string& props = sessionProps()) : SessionFixture(props) {}
  void SetUp() override {
    initSession();
    ASSERT_TRUE(io.startReadLoop());
  }
  // Runs loop() on a thread; done_ is set when it returns.
  void startLoop() {
    loopThread = std::thread([this] {
      session.loop();
      done = true;
    });
  }
  void TearDown() override {
    session.requestStop();
    if (loopThread.joinable()) loopThread.join();
  }

  std::atomic<bool> done{false};
  std::thread loopThread;
};

TEST_F(SessionLoopTest, AnsweredIdentifyGetsLinkInit) {
  FakeInstrument inst(io, identifying);
  startLoop();
  ASSERT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::LINK_INIT) == 1; }, seconds(10)));
  ASSERT_TRUE(waitFor([&] { return session.getState() != S::INIT_LINK; }, seconds(5)));
  auto frames = inst.frames();
  EXPECT_EQ(frames[0].type, SelvomaPacket::IDENTIFY);
  EXPECT_EQ(frames[0].destId, 0u);
  EXPECT_EQ(frames[1].type, SelvomaPacket::LINK_INIT);
  EXPECT_EQ(frames[1].destId, STATION);
  session.requestStop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(5)));
  std::string text = logText();
  EXPECT_NE(text.find("Init_Identify. Connected: memory"), std::string::npos);
  EXPECT_NE(text.find("FINISH"), std::string::npos);
  EXPECT_NE(text.find("loop end"), std::string::npos);
}

TEST_F(SessionLoopTest, StreamingInstrumentIsAcknowledgedAndStoredWithoutLinkInit) {
  std::string record = realRecords()[0];
  FakeInstrument inst(io, [&](const SelvomaPacket& f, FakeInstrument& i) {
    if (f.type == SelvomaPacket::IDENTIFY)
      i.send(frame(SelvomaPacket::MINISEED, STATION, record, 17));
  });
  startLoop();
  ASSERT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::ACK) >= 1; }, seconds(10)));
  session.requestStop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(5)));
  auto frames = inst.frames();
  EXPECT_EQ(inst.count(SelvomaPacket::LINK_INIT), 0);
  EXPECT_EQ(frames[1].type, SelvomaPacket::ACK);
  EXPECT_EQ(frames[1].seqNo, 17);
  EXPECT_EQ(session.TEST_archive().getStation(), "JSC");  // taken before it was acknowledged
  // The end of the link wrote the record still in the batch, and its time.
  EXPECT_EQ(readText(dir.path() + "time/JSC.01000001.last"), "1474465680") << logText();
  EXPECT_NE(logText().find("Got different packet MINSEED"), std::string::npos);
}

TEST_F(SessionLoopTest, FiveUnansweredIdentifiesEndTheSession) {
  FakeInstrument inst(io, nullptr);
  auto start = std::chrono::steady_clock::now();
  startLoop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(15)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
  EXPECT_EQ(inst.count(SelvomaPacket::IDENTIFY), 5);
  EXPECT_NE(logText().find("noreplycounter>=5  Calling FINISH"), std::string::npos);
}

TEST_F(SessionLoopTest, SilenceEndsTheSessionAfterTheLoopTimeout) {
  FakeInstrument inst(io, identifying);
  auto start = std::chrono::steady_clock::now();
  startLoop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(15)));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, seconds(3));  // timeout=3 in the properties
  EXPECT_LT(took, seconds(8));
  EXPECT_EQ(session.getLoopTimeoutMs(), 3000);
  EXPECT_NE(logText().find("No good frame in 3000 ms.  FINISH"), std::string::npos);
}

TEST_F(SessionLoopTest, ClosedLinkFinishesPromptly) {
  FakeInstrument inst(io, identifying);
  startLoop();
  ASSERT_TRUE(waitFor(
      [&] { return session.getState() == S::READ || session.getState() == S::NEXT_REQUEST; },
      seconds(10)));
  auto start = std::chrono::steady_clock::now();
  io.endOfStream();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(2));
  EXPECT_NE(logText().find("read available < 0.  FINISH"), std::string::npos);
}

TEST_F(SessionLoopTest, StopRequestEndsEvenDuringIdentification) {
  FakeInstrument inst(io, nullptr);
  startLoop();
  ASSERT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::IDENTIFY) >= 1; }, seconds(5)));
  auto start = std::chrono::steady_clock::now();
  session.requestStop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(2));
}

class SessionKeepAliveTest : public SessionLoopTest {
 protected:
  SessionKeepAliveTest() : SessionLoopTest(sessionProps(30)) {}

  // Starts the loop, brings the link up and sends the first bytes of a frame
  // that never completes, so that the reader waits for the rest.
  std::unique_ptr<FakeInstrument> stalledLink() {
    auto inst =
        std::make_unique<FakeInstrument>(io, [this](const SelvomaPacket& f, FakeInstrument& i) {
          identifying(f, i);
          if (f.type == SelvomaPacket::LINK_INIT) linked_ = true;
        });
    startLoop();
    EXPECT_TRUE(waitFor([&] { return linked_.load(); }, seconds(10)));
    EXPECT_TRUE(waitFor([&] { return session.getState() == S::READ; }, seconds(5)));
    inst->send(frame(SelvomaPacket::COMMAND, STATION, "abc", 1).substr(0, 6));
    return inst;
  }
  std::atomic<bool> linked_{false};
};

// After a frame fails its check word, the keep-alive acknowledges the last
// frame that was read whole and passed its check, never the broken one.
TEST_F(SessionKeepAliveTest, KeepAliveAcknowledgesOnlyTheLastGoodFrame) {
  std::vector<std::string> records = realRecords();
  std::atomic<bool> linked{false};
  FakeInstrument inst(io, [&](const SelvomaPacket& f, FakeInstrument& i) {
    identifying(f, i);
    if (f.type == SelvomaPacket::LINK_INIT) linked = true;
  });
  startLoop();
  ASSERT_TRUE(waitFor([&] { return linked.load(); }, seconds(10)));
  inst.send(frame(SelvomaPacket::MINISEED, STATION, records[0], 5));
  ASSERT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::ACK) == 1; }, seconds(5)));
  std::string bad = frame(SelvomaPacket::MINISEED, STATION, records[1], 6);
  bad[100] ^= 0x10;
  inst.send(bad);
  ASSERT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::ACK) == 2; }, seconds(10)))
      << logText();
  std::vector<uint8_t> acked;
  for (const auto& f : inst.frames()) {
    if (f.type == SelvomaPacket::ACK) acked.push_back(f.seqNo);
  }
  EXPECT_EQ(acked, (std::vector<uint8_t>{5, 5}));
}

// A frame whose header stops after a few bytes keeps the reader waiting for
// seconds; a stop request ends that wait at once.
TEST_F(SessionKeepAliveTest, StopRequestEndsAStalledFrameAtOnce) {
  auto stalled = stalledLink();
  std::this_thread::sleep_for(milliseconds(500));
  auto start = std::chrono::steady_clock::now();
  session.requestStop();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, seconds(20)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(1));
}

// The keep-alive follows the session's monotonic clock, here stepped by the
// test, and is served even while a stalled frame holds the reader.
TEST_F(SessionKeepAliveTest, KeepAliveFollowsTheMonotonicClockDuringAStalledFrame) {
  std::atomic<int64_t> step{0};
  session.TEST_setMonoClock([&step] {
    return step.load() + std::chrono::duration_cast<milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
  });
  auto stalled = stalledLink();
  FakeInstrument& inst = *stalled;
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(inst.count(SelvomaPacket::ACK), 0);
  step = 1000 * (KEEPALIVE_SECS + 1);
  EXPECT_TRUE(waitFor([&] { return inst.count(SelvomaPacket::ACK) == 1; }, seconds(1)));
  EXPECT_FALSE(done.load());
}
