#include "metadata/SsTimer.h"

#include <algorithm>

#include "core/Log.h"
#include "metadata/SsFile.h"
#include "protocol/SelvomaPacket.h"

const char* const SsTimer::BLANK = "";

SsTimer::SsTimer() : keys_(SsFile::SS_KEYS), nextTime_(time(nullptr) + SS_FIRST_DELAY_SECS) {}

SsTimer::~SsTimer() = default;

void SsTimer::setKeys(const char* const* keys) {
  keys_ = keys;
  index_ = 0;
}

bool SsTimer::isTime() const { return nextTime_ < now(); }

bool SsTimer::isEndOfKeys() const { return keys_ == nullptr || keys_[index_][0] == '\0'; }

std::string SsTimer::next() {
  if (!active_ || keys_ == nullptr || !isTime()) return BLANK;
  calcNextTime();
  std::string key = keys_[index_];
  if (!key.empty()) {
    ++index_;
  } else {
    index_ = restartIndex_;
  }
  return key;
}

std::unique_ptr<SelvomaPacket> SsTimer::getPacket() {
  if (!active_) return nullptr;
  std::string key = next();
  if (key.empty()) return nullptr;
  std::string text = key[0] == '?' ? key.substr(1) : "? \"" + key + "\"";
  auto packet = std::make_unique<SelvomaPacket>();
  packet->make(SelvomaPacket::COMMAND, 0, 0, 0, text);
  return packet;
}

bool SsTimer::isWriteFileTime() {
  bool was = writeFile_;
  writeFile_ = false;
  return was;
}

void SsTimer::pause(int seconds) { nextTime_ = std::max(nextTime_, now() + seconds); }

void SsTimer::restart() {
  if (log_ != nullptr) log_->add("SsTime restart called");
  index_ = SS_FULL_START;
  nextTime_ = now();
  calcNextTime();
  restartIndex_ = SS_FULL_START;
}

void SsTimer::calcNextTime() {
  if (keys_ != nullptr && keys_[index_][0] != '\0') {
    nextTime_ += SS_KEY_STEP_SECS;
    return;
  }
  writeFile_ = true;
  time_t t = (now() + SS_MINUTE) / SS_MINUTE * SS_MINUTE;
  nextTime_ = t;
  if (t % SS_HOUR_PERIOD == 0) {
    restartIndex_ = SS_FULL_START;
  } else if (t % SS_HEALTH_PERIOD == 0) {
    restartIndex_ = SS_HEALTH_START;
  } else {
    restartIndex_ = SS_PEAK_START;
  }
}
