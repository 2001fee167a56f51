#include "Waveform.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double NOISE_SIGMA = 150.0;      // counts of the background noise
constexpr double SWELL_AMPLITUDE = 300.0;  // counts of the microseism swell
constexpr double SWELL_FREQUENCY = 0.2;    // Hz
constexpr double EVENT_GAP_MIN = 20.0;     // seconds between event onsets
constexpr double EVENT_GAP_MAX = 90.0;
constexpr double EVENT_AMPLITUDE_MIN = 3000.0;  // counts
constexpr double EVENT_AMPLITUDE_MAX = 40000.0;
constexpr double EVENT_FREQUENCY_MIN = 1.0;  // Hz
constexpr double EVENT_FREQUENCY_MAX = 8.0;
constexpr double EVENT_DECAY_MIN = 2.0;  // seconds
constexpr double EVENT_DECAY_MAX = 8.0;
constexpr double EVENT_LIFETIMES = 8.0;  // decay times after which an event is over
constexpr double TWO_PI = 6.283185307179586;
constexpr char DATA_QUALITY = 'D';
constexpr int8_t BYTE_ORDER_BIG = 1;  // libmseed: big-endian header and data

double uniform(std::mt19937& rng, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(rng);
}

}  // namespace

void warmUpPacker() {
  ChannelCodes codes{"XX", "WARM", "", "HHZ", 1};
  ChannelRecorder recorder(codes, MS_EPOCH2HPTIME(0), 1, 1, 1.0);
  recorder.next();
}

SyntheticSignal::SyntheticSignal(uint32_t noiseSeed, uint32_t eventSeed, double sampleRate,
                                 double gain)
    : sampleRate_(sampleRate),
      gain_(gain),
      noise_(noiseSeed),
      gaussian_(0.0, NOISE_SIGMA),
      events_(eventSeed) {
  next_.onset = 0;
  scheduleEvent();
}

void SyntheticSignal::scheduleEvent() {
  SignalEvent e;
  e.onset = next_.onset + uniform(events_, EVENT_GAP_MIN, EVENT_GAP_MAX);
  e.amplitude = uniform(events_, EVENT_AMPLITUDE_MIN, EVENT_AMPLITUDE_MAX);
  e.frequency = uniform(events_, EVENT_FREQUENCY_MIN, EVENT_FREQUENCY_MAX);
  e.decay = uniform(events_, EVENT_DECAY_MIN, EVENT_DECAY_MAX);
  next_ = e;
}

int32_t SyntheticSignal::sample(int64_t index) {
  double t = static_cast<double>(index) / sampleRate_;
  while (t >= next_.onset) {
    active_.push_back(next_);
    scheduleEvent();
  }
  while (!active_.empty() && t > active_.front().onset + EVENT_LIFETIMES * active_.front().decay) {
    active_.pop_front();
  }
  double value = gaussian_(noise_) + SWELL_AMPLITUDE * std::sin(TWO_PI * SWELL_FREQUENCY * t);
  for (const SignalEvent& e : active_) {
    double dt = t - e.onset;
    value += gain_ * e.amplitude * std::exp(-dt / e.decay) * std::sin(TWO_PI * e.frequency * dt);
  }
  return static_cast<int32_t>(std::lround(value));
}

ChannelRecorder::ChannelRecorder(const ChannelCodes& codes, hptime_t start, uint32_t noiseSeed,
                                 uint32_t eventSeed, double gain)
    : codes_(codes),
      start_(start),
      signal_(noiseSeed, eventSeed, static_cast<double>(codes.sampleRate), gain),
      msr_(msr_init(nullptr)) {
  MSRecord* m = msr_.get();
  strncpy(m->network, codes_.network.c_str(), sizeof m->network - 1);
  strncpy(m->station, codes_.station.c_str(), sizeof m->station - 1);
  strncpy(m->location, codes_.location.c_str(), sizeof m->location - 1);
  strncpy(m->channel, codes_.channel.c_str(), sizeof m->channel - 1);
  m->dataquality = DATA_QUALITY;
  m->samprate = static_cast<double>(codes_.sampleRate);
  m->reclen = SIM_RECORD_LENGTH;
  m->encoding = DE_STEIM2;
  m->byteorder = BYTE_ORDER_BIG;
  m->sampletype = 'i';
  m->sequence_number = 1;
}

hptime_t ChannelRecorder::timeOfSample(int64_t index) const {
  return start_ +
         static_cast<hptime_t>(std::llround(static_cast<double>(index) *
                                            static_cast<double>(HPTMODULUS) / codes_.sampleRate));
}

void ChannelRecorder::collect(char* record, int length, void* self) {
  auto* recorder = static_cast<ChannelRecorder*>(self);
  Pending p{};
  memcpy(p.record.data(), record, std::min<size_t>(static_cast<size_t>(length), p.record.size()));
  int samples = Miniseed::getNumSamples(p.record.data());
  p.start = recorder->timeOfSample(recorder->pendingFirstIndex_);
  recorder->pendingFirstIndex_ += samples;
  p.end = recorder->timeOfSample(recorder->pendingFirstIndex_);
  recorder->pending_.push_back(p);
}

void ChannelRecorder::fill() {
  while (pending_.empty()) {
    while (samples_.size() < PACK_BUFFER_SAMPLES)
      samples_.push_back(signal_.sample(generatedUpTo_++));
    MSRecord* m = msr_.get();
    m->starttime = timeOfSample(packedUpTo_);
    m->datasamples = samples_.data();
    m->numsamples = static_cast<int64_t>(samples_.size());
    pendingFirstIndex_ = packedUpTo_;
    int64_t packed = 0;
    msr_pack(m, &ChannelRecorder::collect, this, &packed, 0, 0);
    m->datasamples = nullptr;  // the samples belong to samples_, not to the record
    m->numsamples = 0;
    if (packed <= 0) break;  // cannot happen with a full buffer; avoids spinning
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(packed));
    packedUpTo_ += packed;
  }
}

hptime_t ChannelRecorder::peekEnd() {
  fill();
  return pending_.empty() ? start_ : pending_.front().end;
}

hptime_t ChannelRecorder::peekStart() {
  fill();
  return pending_.empty() ? start_ : pending_.front().start;
}

Miniseed::Record ChannelRecorder::next() {
  fill();
  Miniseed::Record r{};
  if (pending_.empty()) return r;
  r = pending_.front().record;
  pending_.pop_front();
  return r;
}
