#include <gtest/gtest.h>

#include <string>

#include "metadata/SsFile.h"
#include "metadata/SsTimer.h"
#include "protocol/SelvomaPacket.h"
#include "support/PacketText.h"

namespace {

// 2021-04-05 10:59:40 UTC
constexpr time_t T_105940 = 1617620380;

}  // namespace

class SsTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    timer.TEST_setClock([this] { return now; });
    timer.setActive(true);
  }
  time_t now = time(nullptr);
  SsTimer timer;
};

TEST_F(SsTimerTest, FirstQueryIsSettingsTimeAbout20SecondsAfterStart) {
  now += 20;
  EXPECT_FALSE(timer.getPacket());  // due means strictly before now
  now += 1;
  auto p = timer.getPacket();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->type, SelvomaPacket::COMMAND);
  EXPECT_EQ(payloadText(*p), "? \"settings_time\"");
  timer.setActive(false);  // an inactive timer yields nothing
  now += 100;
  EXPECT_FALSE(timer.getPacket());
  EXPECT_EQ(timer.next(), "");
}

TEST_F(SsTimerTest, KeysFollowFiveSecondsApartUnlessAnswered) {
  now += 21;
  ASSERT_TRUE(timer.getPacket());
  EXPECT_FALSE(timer.getPacket());
  timer.setReadyForNext();
  EXPECT_FALSE(timer.getPacket());  // due only once the clock moves on
  now += 1;
  auto p = timer.getPacket();
  ASSERT_TRUE(p);
  EXPECT_EQ(payloadText(*p), "? \"sitename\"");
  EXPECT_EQ(timer.getNextTime(), now - 1 + 5);
}

TEST_F(SsTimerTest, QuestionMarkKeysAreSentAsPlainCommands) {
  timer.setKeys(&SsFile::SS_KEYS[SS_PEAK_START]);
  now += 21;
  auto p = timer.getPacket();
  ASSERT_TRUE(p);
  EXPECT_EQ(payloadText(*p), "last_peak 0");
}

TEST_F(SsTimerTest, CycleEndChoosesNextCycleByMinuteMark) {
  // Walk the whole full cycle, answering at once.
  now = T_105940 - 100;
  timer.setReadyForNext();
  int sent = 0;
  std::string last;
  for (int i = 0; i < 200 && !timer.isEndOfKeys(); ++i) {
    now += 1;
    auto p = timer.getPacket();
    if (p) ++sent, last = payloadText(*p);
    timer.setReadyForNext();
  }
  EXPECT_EQ(sent, SS_NUM_KEYS);
  EXPECT_EQ(last, "last_peak 1");
  now = T_105940;
  EXPECT_EQ(timer.next(), "");  // the end marker, once
  EXPECT_TRUE(timer.isWriteFileTime());
  EXPECT_FALSE(timer.isWriteFileTime());
  EXPECT_EQ(timer.getNextTime(), T_105940 + 20);  // 11:00:00
  EXPECT_EQ(timer.getIndex(), SS_FULL_START);
}

TEST_F(SsTimerTest, HealthAndPeakCyclesStartAtTheirMarks) {
  // The two peak keys end a cycle at 11:04:30 (next: health at 11:05:00) or
  // at 11:05:10 (next: peaks at 11:06:00).
  const struct {
    time_t start, next;
    int index;
  } cases[] = {{T_105940 + 290, T_105940 + 320, SS_HEALTH_START},
               {T_105940 + 330, T_105940 + 380, SS_PEAK_START}};
  for (const auto& c : cases) {
    timer.setKeys(&SsFile::SS_KEYS[SS_PEAK_START]);
    now = c.start;
    for (int key = 0; key < 2; ++key) {
      timer.setReadyForNext();
      now += 1;
      ASSERT_TRUE(timer.getPacket());
    }
    timer.setReadyForNext();
    now += 1;
    EXPECT_FALSE(timer.getPacket());  // end of cycle
    EXPECT_EQ(timer.getNextTime(), c.next);
    EXPECT_EQ(timer.getIndex(), c.index);
  }
}

TEST_F(SsTimerTest, RestartBeginsFullCycleFiveSecondsLater) {
  now += 30;
  ASSERT_TRUE(timer.getPacket());  // settings_time
  timer.setReadyForNext();
  now += 1;
  ASSERT_TRUE(timer.getPacket());  // sitename
  timer.restart();
  EXPECT_EQ(timer.getIndex(), 0);
  EXPECT_EQ(timer.getNextTime(), now + 5);
  now += 6;
  auto p = timer.getPacket();
  ASSERT_TRUE(p);
  EXPECT_EQ(payloadText(*p), "? \"settings_time\"");
}

TEST_F(SsTimerTest, PauseOnlyDelays) {
  now += 100;
  timer.pause(60);
  EXPECT_EQ(timer.getNextTime(), now + 60);
  timer.pause(10);
  EXPECT_EQ(timer.getNextTime(), now + 60);
}
