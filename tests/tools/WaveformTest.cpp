// Synthetic records checked by libmseed's own parser and decoder, and by the
// hub's record helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Waveform.h"
#include "waveform/Miniseed.h"

namespace {

constexpr hptime_t kStart = 1680784460LL * HPTMODULUS;  // 2023-04-06 12:34:20 UTC
constexpr int kRate = 100;

MsRecordPtr parsed(Miniseed::Record& r) {
  MSRecord* msr = nullptr;
  int rc = msr_parse(reinterpret_cast<char*>(r.data()), static_cast<int>(r.size()), &msr,
                     static_cast<int>(r.size()), 1, 0);
  MsRecordPtr owned(msr);
  if (rc != MS_NOERROR) owned.reset();
  return owned;
}

}  // namespace

TEST(WaveformTest, RecordsParseWithTheirCodesAndFollowEachOtherWithoutGaps) {
  ChannelCodes codes{"XX", "SIM", "00", "HHN", kRate};
  ChannelRecorder recorder(codes, kStart, 7, 9, 1.0);
  SyntheticSignal reference(7, 9, kRate, 1.0);  // the same seeds, generated independently
  hptime_t expectedStart = kStart;
  int64_t index = 0;
  for (int i = 0; i < 30; ++i) {
    hptime_t peekStart = recorder.peekStart();
    hptime_t peekEnd = recorder.peekEnd();
    Miniseed::Record r = recorder.next();
    MsRecordPtr msr = parsed(r);
    ASSERT_TRUE(msr) << "record " << i;
    EXPECT_STREQ(msr->network, "XX");
    EXPECT_STREQ(msr->station, "SIM");
    EXPECT_STREQ(msr->location, "00");
    EXPECT_STREQ(msr->channel, "HHN");
    EXPECT_EQ(msr->reclen, SIM_RECORD_LENGTH);
    EXPECT_DOUBLE_EQ(msr->samprate, kRate);
    EXPECT_EQ(msr->encoding, DE_STEIM2);
    ASSERT_GT(msr->samplecnt, 0);
    EXPECT_EQ(msr->numsamples, msr->samplecnt);  // the decoder found every sample
    EXPECT_EQ(msr->starttime, expectedStart) << "record " << i << " is not continuous";
    EXPECT_EQ(peekStart, msr->starttime);
    EXPECT_EQ(peekEnd, msr->starttime + msr->samplecnt * HPTMODULUS / kRate);
    const int32_t* samples = static_cast<const int32_t*>(msr->datasamples);
    for (int64_t k = 0; k < msr->numsamples; ++k, ++index) {
      ASSERT_EQ(samples[k], reference.sample(index)) << "sample " << index;
    }
    expectedStart = msr->starttime + msr->samplecnt * HPTMODULUS / kRate;
    // The hub's helpers read the same header.
    std::string station, channel;
    EXPECT_TRUE(Miniseed::getStation(r.data(), &station));
    EXPECT_EQ(station, "SIM");
    EXPECT_TRUE(Miniseed::getChannel(r.data(), &channel));
    EXPECT_EQ(Miniseed::getSampleRate(r.data()), kRate);
    EXPECT_EQ(Miniseed::getStartTime(r.data()), msr->starttime);
  }
}

TEST(WaveformTest, SignalHasEventsWellAboveTheNoiseSharedByTheChannels) {
  SyntheticSignal signal(1, 2, kRate, 1.0);
  int32_t quietPeak = 0;
  int32_t peak = 0;
  for (int64_t i = 0; i < 180 * kRate; ++i) {  // three minutes: at least two events
    int32_t v = std::abs(signal.sample(i));
    if (i < 15 * kRate) quietPeak = std::max(quietPeak, v);  // before the first onset (>= 20 s)
    peak = std::max(peak, v);
  }
  EXPECT_GT(quietPeak, 0);
  EXPECT_LT(quietPeak, 2000);
  EXPECT_GT(peak, 2500);

  // Channels of one instrument share the event times but not the noise.
  SyntheticSignal z(11, 5, kRate, 1.0);
  SyntheticSignal n(12, 5, kRate, 1.0);
  int differing = 0;
  int64_t firstLoudZ = -1, firstLoudN = -1;
  for (int64_t i = 0; i < 120 * kRate; ++i) {
    int32_t a = z.sample(i), b = n.sample(i);
    if (a != b) ++differing;
    if (firstLoudZ < 0 && std::abs(a) > 2200) firstLoudZ = i;
    if (firstLoudN < 0 && std::abs(b) > 2200) firstLoudN = i;
  }
  EXPECT_GT(differing, 100 * kRate);
  ASSERT_GT(firstLoudZ, 0);
  EXPECT_LT(std::llabs(firstLoudZ - firstLoudN), kRate);  // the same event within a second
}
