// A link whose device is a byte queue in memory, for tests and the fuzzer.
//
// Without a read loop, pump() moves what was fed into the receive ring on the
// calling thread, and endOfStream() marks the link dead, so that readers stop
// waiting once the ring is drained. With startReadLoop() a real read-loop
// thread moves the bytes, as on a socket; feed() may then be called from
// another thread (pending_ is guarded by mu_).
#ifndef VH_TESTS_PROTOCOL_MEMORYIO_H_
#define VH_TESTS_PROTOCOL_MEMORYIO_H_

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "io/IO.h"

class MemoryIO : public IO {
 public:
  MemoryIO() {
    setDescription("memory");
    setConnected(true);
  }
  ~MemoryIO() override { stopReadLoop(); }

  // Bytes the device delivers next.
  void feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_ += bytes;
  }
  // Moves fed bytes into the ring until it is full or nothing is left.
  // Only while no read loop runs.
  void pump() {
    for (;;) {
      size_t before = pendingSize();
      readOneLoop();
      if (pendingSize() == before) return;
    }
  }
  void feedAndPump(const std::string& bytes) {
    feed(bytes);
    pump();
  }
  // The peer closed: once the ring is drained, available() is -1.
  void endOfStream() { markDead("end of stream"); }

  // Writes succeed up to writeLimit bytes per call (negative: no limit).
  void setWriteLimit(int limit) { writeLimit_ = limit; }
  std::string takeWritten() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out;
    out.swap(written_);
    return out;
  }
  int flushes() const { return flushes_; }

  bool isConnected() override { return connectedFlag(); }
  int write(const unsigned char* bytes, int count) override {
    int n = writeLimit_ < 0 ? count : std::min(count, writeLimit_);
    std::lock_guard<std::mutex> lock(mu_);
    written_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    return n;
  }
  void ioFlush() override { ++flushes_; }
  int ioAvailable() override { return static_cast<int>(pendingSize()); }
  int ioRead(unsigned char* bytes, int count) override {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = std::min(pending_.size(), static_cast<size_t>(count));
    memcpy(bytes, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<int>(n);
  }
  bool startReadLoop() override { return startReadThread("MemoryIO::readLoop"); }

 private:
  size_t pendingSize() {
    std::lock_guard<std::mutex> lock(mu_);
    return pending_.size();
  }

  std::mutex mu_;
  std::string pending_;  // guarded by mu_
  std::string written_;  // guarded by mu_
  int writeLimit_ = -1;  // session thread only
  int flushes_ = 0;      // session thread only
};

#endif  // VH_TESTS_PROTOCOL_MEMORYIO_H_
