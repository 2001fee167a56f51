// Synthetic seismograms packed into 512-byte Steim2 miniSEED records.
//
// SyntheticSignal gives the samples of one channel: Gaussian noise, a slow
// microseism swell, and now and then an "event", a decaying sine whose onset,
// amplitude, frequency and decay come from a generator seeded by the
// instrument, so every channel of one instrument sees the same events (each
// channel with its own gain). The samples are a pure function of the seeds
// and the sample index: the same options give the same data.
//
// ChannelRecorder packs one channel's samples with libmseed (msr_pack,
// Steim2, big-endian, 512-byte records with blockette 1000). Record start
// times follow from the sample index, so the records of a channel are
// continuous: each starts exactly one sample after the last sample of the one
// before.
//
// Not shared: each instrument thread owns its recorders. libmseed's packer
// reads two process-wide byte-order settings that it fills on its first call;
// warmUpPacker() makes that first call before any instrument thread starts.
#ifndef VH_TOOLS_DREMOSIM_WAVEFORM_H_
#define VH_TOOLS_DREMOSIM_WAVEFORM_H_

#include <libmseed.h>

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "waveform/Miniseed.h"

constexpr int SIM_RECORD_LENGTH = static_cast<int>(Miniseed::RECORD_LENGTH);
constexpr size_t PACK_BUFFER_SAMPLES = 2048;  // samples handed to the packer per call (> 2 records)

// Makes libmseed's packer settle its process-wide settings. Call once from
// the main thread before instrument threads start.
void warmUpPacker();

// One event: a decaying sine from onset on.
struct SignalEvent {
  double onset = 0;      // seconds after the signal's first sample
  double amplitude = 0;  // counts
  double frequency = 0;  // Hz
  double decay = 0;      // seconds of the e-folding time
};

class SyntheticSignal {
 public:
  // noiseSeed differs per channel, eventSeed is shared by the channels of an
  // instrument; gain scales the events of this channel.
  SyntheticSignal(uint32_t noiseSeed, uint32_t eventSeed, double sampleRate, double gain);

  // The sample at index, for indexes in increasing order (each once).
  int32_t sample(int64_t index);

 private:
  void scheduleEvent();

  double sampleRate_;
  double gain_;
  std::mt19937 noise_;
  std::normal_distribution<double> gaussian_;
  std::mt19937 events_;
  std::deque<SignalEvent> active_;
  SignalEvent next_;  // the next event to begin
};

// The codes and rate of one channel's records.
struct ChannelCodes {
  std::string network;
  std::string station;
  std::string location;
  std::string channel;
  int sampleRate = 0;  // Hz
};

class ChannelRecorder {
 public:
  // First sample at start (microseconds since 1970).
  ChannelRecorder(const ChannelCodes& codes, hptime_t start, uint32_t noiseSeed, uint32_t eventSeed,
                  double gain);
  ChannelRecorder(const ChannelRecorder&) = delete;
  ChannelRecorder& operator=(const ChannelRecorder&) = delete;

  // End (time after the last sample) of the record next() gives.
  hptime_t peekEnd();
  // Start of the record next() gives.
  hptime_t peekStart();
  // Takes the next record.
  Miniseed::Record next();
  const std::string& channel() const { return codes_.channel; }

 private:
  // Packs records until at least one is waiting.
  void fill();
  hptime_t timeOfSample(int64_t index) const;
  static void collect(char* record, int length, void* self);

  ChannelCodes codes_;
  hptime_t start_;
  SyntheticSignal signal_;
  std::vector<int32_t> samples_;  // unpacked samples, the first at index packedUpTo_
  int64_t packedUpTo_ = 0;        // index of the first sample not yet in a record
  int64_t generatedUpTo_ = 0;     // index of the next sample to generate
  MsRecordPtr msr_;
  struct Pending {
    Miniseed::Record record;
    hptime_t start;
    hptime_t end;
  };
  std::deque<Pending> pending_;
  int64_t pendingFirstIndex_ = 0;  // sample index of the record being collected
};

#endif  // VH_TOOLS_DREMOSIM_WAVEFORM_H_
