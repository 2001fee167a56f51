// The send-time side file of dremosim (--send-times FILE): one line per data
// record, written when its MINISEED frame has been handed to the link for the
// first time (re-sent records are not noted again):
//   STA CHA START_US SENT_US
// station code, channel code, the record's start time and the wall-clock
// time just before the frame was handed to the link (taken before the write,
// so a hub that stores the record at once is never seen storing it before it
// was sent), both in microseconds since 1970-01-01T00:00:00Z. A
// benchmark joins these lines with the moment the record's bytes appear in
// an archive to measure how long a record takes to be stored.
//
// Shared by all instrument threads of one process: note() takes the object's
// mutex; lines are buffered and written when the buffer fills and at close().
#ifndef VH_TOOLS_DREMOSIM_SENDTIMES_H_
#define VH_TOOLS_DREMOSIM_SENDTIMES_H_

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class SendTimes {
 public:
  SendTimes() = default;
  SendTimes(const SendTimes&) = delete;
  SendTimes& operator=(const SendTimes&) = delete;
  ~SendTimes() { close(); }

  // Creates (truncates) the file. False with the reason in error.
  bool open(const std::string& path, std::string* error);
  // Now on the wall clock, in microseconds since 1970.
  static long long nowUs();
  // Notes one record (512 bytes with a fixed header) sent at sentUs (taken
  // with nowUs() before the write). Any thread.
  void note(const std::string& station, const uint8_t* record, long long sentUs);
  // Writes what is buffered and closes the file. Any thread.
  void close();

 private:
  std::mutex mu_;
  FILE* file_ = nullptr;  // guarded by mu_
};

#endif  // VH_TOOLS_DREMOSIM_SENDTIMES_H_
