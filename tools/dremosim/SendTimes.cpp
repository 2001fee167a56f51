#include "SendTimes.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "waveform/Miniseed.h"

namespace {

constexpr size_t CHANNEL_OFFSET = 15;  // channel code in the fixed record header
constexpr size_t CHANNEL_LENGTH = 3;
constexpr size_t FILE_BUFFER_BYTES = 1 << 20;

}  // namespace

bool SendTimes::open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  file_ = fopen(path.c_str(), "we");
  if (file_ == nullptr) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  setvbuf(file_, nullptr, _IOFBF, FILE_BUFFER_BYTES);
  return true;
}

long long SendTimes::nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SendTimes::note(const std::string& station, const uint8_t* record, long long sentUs) {
  char channel[CHANNEL_LENGTH + 1] = {};
  memcpy(channel, record + CHANNEL_OFFSET, CHANNEL_LENGTH);
  long long start = Miniseed::getStartTime(record);
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ == nullptr) return;
  fprintf(file_, "%s %s %lld %lld\n", station.c_str(), channel, start, sentUs);
}

void SendTimes::close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ == nullptr) return;
  fclose(file_);
  file_ = nullptr;
}
