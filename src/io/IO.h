// IO: the buffered base of the byte transports Socket and Serial.
//
// Design. Reading the device is decoupled from parsing frames: while a
// transport is connected, one read-loop thread of its own ("rd-<link>") moves
// whatever the device holds (at most READ_CHUNK bytes per pass, never more
// than the ring has room for) into the receive ring, and the session thread
// takes bytes out with bounded waiting (read, readonce, readBuf). A full ring
// leaves bytes waiting in the device; nothing is dropped inside the hub.
// Writes go straight to the device from the session thread.
//
// Waiting. Between passes the read loop blocks in ioWait() until the device
// has bytes (poll on its descriptor), the wake-up descriptor is signalled
// (stopReadLoop does that, so close() ends the loop at once) or
// READLOOP_WAIT_MAX_MS passes. It falls back to the fixed READLOOP_PAUSE_US
// pause when the transport cannot wait (base ioWait) and after a wait that
// reported the device readable but gave no bytes, so an idle link costs no
// processor time and an odd readiness never spins. While the ring is full it
// waits (at most READLOOP_PAUSE_US) until the session takes bytes out: the
// consumer notifies after every take while the read loop waits. On
// the consumer side, waitForBytes() blocks until enough bytes are in the
// ring, the link is dead or a time-out passes: the read loop notifies after
// every push (only when someone waits). read() and the session's idle wait
// use it instead of fixed sleeps; each wait keeps its old upper bound, it
// only ends sooner when the bytes are there.
//
// Read-loop lifetime. startReadLoop() (called by Socket::accept,
// Socket::connect and Serial::connect on the owner's thread) starts the
// thread; it runs until the connected flag is cleared or the transport
// reports the link dead (end of stream or a hard device error: markDead).
// close() and every transport's destructor clear the flag and join the
// thread before the descriptor is closed, so no read loop outlives its
// device or its object. The thread touches only this object and the Log it
// was given.
//
// Dead links. Once the read loop has marked the link dead, available()
// returns the bytes still in the ring and, when they are gone, -1, so the
// session takes the last frames and then ends at its next read.
//
// Thread safety. Two threads use a connected transport: its read loop
// (readLoop, readOneLoop, ioAvailable, ioRead, dump) and the owner's session
// thread (everything else). The ring is lock-free (RingBuffer.h). The
// connected and dead flags, the error number, the byte counter and the log
// pointer are atomics; arrivalMu_ guards both waiter counts and pairs the
// consumer's wait with the read loop's notification (arrivalCv_) and the
// read loop's wait for room with the consumer's (spaceCv_). The
// wake-up descriptor is created with the object and written by the owner's
// thread, read by the read loop. The description, wait time and kind are written only
// while no read loop runs. deviceMu_ is the device lock for transports whose
// device calls must not overlap (Serial).
#ifndef VH_IO_IO_H_
#define VH_IO_IO_H_

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>

#include "io/RingBuffer.h"
#include "util/Mutex.h"

class Log;

constexpr int READ_CHUNK = 16384;            // bytes of one device read
constexpr long READLOOP_PAUSE_US = 5017;     // read loop: pause when it cannot wait on the device
constexpr int READLOOP_WAIT_MAX_MS = 200;    // read loop: longest wait on the device per pass
constexpr int READ_PASSES = 200;             // passes of a waiting read()
constexpr long READ_EMPTY_SLEEP_US = 20013;  // read(): one sleep when the ring is empty
constexpr long READ_PASS_SLEEP_US = 4011;    // read(): sleep after the second and later passes
constexpr int READ_SLOW_AFTER_PASSES = 100;  // read(): passes before the longer sleep
constexpr long READ_SLOW_SLEEP_US = 20123;   // read(): extra sleep after that
constexpr uint32_t READBUF_BACKLOG_WARN = 2500;  // readBuf(): bytes left that are reported
constexpr size_t IO_DESCRIPTION_MAX = 79;        // characters of a description
constexpr size_t THREAD_NAME_MAX = 15;           // characters the system keeps of a thread name

// strerror's text for a system error number, safe in any thread.
std::string ioErrorText(int error);

class IO {
 public:
  // Transport kinds: the link thread deletes only socket transports.
  static constexpr int KIND_IO = 0;
  static constexpr int KIND_SOCKET = 1;
  static constexpr int KIND_SERIAL = 2;

  // Empty ring, description "Uninited", not connected, no log.
  explicit IO(int kind = KIND_IO);
  IO(const IO&) = delete;
  IO& operator=(const IO&) = delete;
  // Joins a read loop that is somehow still running. Transports stop their
  // read loop in their own destructor, while their device still exists.
  virtual ~IO();

  // Sets bytes in to 0.
  virtual void init();
  // Base: false.
  virtual bool connect();
  virtual bool isConnected();
  // Base: stops the read loop and clears the log pointer.
  virtual void close();
  // Base: prints a console line and returns 0. Transports: bytes written,
  // -1 when there is no device.
  virtual int write(const unsigned char* bytes, int count);
  // Text naming the link in log lines; valid until the description changes.
  virtual const char* getDescription() const;
  virtual bool checkPoll();
  // The log for transport messages (null: none). It is not owned and must
  // stay alive until it is replaced by another setLog or the transport is
  // closed; the read loop may write to it at any time until then.
  virtual void setLog(Log* log);
  // Last system error number seen by the transport; read() resets it.
  virtual int getErrno() const;

  // Read-loop thread: one transfer from the device into the ring.
  virtual void readOneLoop();
  // Drops what the device still holds. Base: nothing.
  virtual void ioFlush();
  // Read-loop thread: bytes the device can deliver now without blocking.
  virtual int ioAvailable() = 0;
  // Read-loop thread: reads up to count bytes; the count read, 0 when
  // nothing came, negative on error.
  virtual int ioRead(unsigned char* bytes, int count) = 0;
  // Starts the read-loop thread. Returns false when it could not start.
  virtual bool startReadLoop() = 0;
  // Read-loop thread: waits at most timeoutMs until the device has bytes or
  // the wake-up descriptor (wakeFd()) is signalled. Returns 1 when the device
  // reported itself readable, 0 after the time-out or a wake-up, -1 when the
  // transport cannot wait (base: the read loop then pauses READLOOP_PAUSE_US).
  virtual int ioWait(int timeoutMs);
  // The read-loop thread body: passes until not connected or dead.
  virtual void readLoop();

  // Consumer side (the session thread) from here on.

  // Bytes waiting in the ring; -1 once the link is dead and the ring is empty.
  int available();
  // Takes up to count bytes out of the ring without waiting. Returns the
  // number taken, 0 when not connected.
  int readBuf(unsigned char* bytes, int count);
  // Gathers up to count bytes, waiting in short sleeps for at most maxPasses
  // passes. Returns the bytes got (possibly fewer), 0 for count < 1, -1 when
  // not connected.
  int read(unsigned char* bytes, int count, int maxPasses = READ_PASSES);
  int readonce(unsigned char* bytes, int count) { return read(bytes, count, 1); }
  // Waits at most timeoutUs until the ring holds at least wanted bytes or the
  // link is dead. True when the bytes are there. Consumer side.
  bool waitForBytes(uint32_t wanted, long timeoutUs);
  // Drops every buffered byte (tail moves to head; safe while the read loop runs).
  void ringClear();
  // ringClear(), then ioFlush().
  void clear();

  // Appends bytes to the hourly raw dump "dump/YYYYMMDD_HH.dump" (relative to
  // the working directory) when the dump is on. Failures are ignored.
  void dump(const unsigned char* bytes, int count);
  // Raw input dump of all transports (property dumpin); set at start-up.
  static void enableDumpIn(bool on);
  static bool dumpInEnabled();

  // Now in UTC as "%Y%m%d %H:%M:%S.00 ".
  std::string nowStr() const;

  int getKind() const { return kind_; }
  Log* getLog() const { return log_.load(std::memory_order_acquire); }
  uint64_t getBytesIn() const { return bytesIn_.load(std::memory_order_relaxed); }
  // True once the read loop saw end of stream or a hard error.
  bool isLinkDead() const { return dead_.load(std::memory_order_acquire); }
  // Kernel thread id of the running read loop, 0 when none (diagnostics).
  pid_t readLoopTid() const { return readTid_.load(std::memory_order_acquire); }

 protected:
  // Starts a thread running readLoop(); threadFunction names it in the
  // "closePthread" line at its end. Clears the dead flag. Owner thread only.
  bool startReadThread(const char* threadFunction);
  // Clears the connected flag and waits for the read loop to end. Owner
  // thread only; returns at once when no read loop runs.
  void stopReadLoop();
  // Read-loop thread: the device reached end of stream or failed for good.
  // Logs the reason once; the read loop ends after this pass.
  void markDead(const char* reason);

  void setConnected(bool on) { connected_.store(on, std::memory_order_release); }
  // Readable when stopReadLoop asks the read loop to end; for ioWait's poll.
  int wakeFd() const { return wakeFd_; }
  bool connectedFlag() const { return connected_.load(std::memory_order_acquire); }
  void setErrno(int number) { errno_.store(number, std::memory_order_relaxed); }
  // Cut to IO_DESCRIPTION_MAX characters. Only while no read loop runs.
  void setDescription(const std::string& text);

  int waitTime_ = 0;  // Socket's optional select wait before accept and read; 0 = none
  Mutex deviceMu_;    // device lock of transports that need one (Serial)

 private:
  static void* readLoopEntry(void* self);
  // Read-loop thread: wakes a consumer blocked in waitForBytes.
  void notifyArrival();
  // Read-loop thread: waits at most timeoutUs until the ring has room or the
  // connected flag is cleared.
  void waitForSpace(long timeoutUs);
  // Consumer side: wakes the read loop blocked in waitForSpace.
  void notifySpace();

  const int kind_;
  RingBuffer<unsigned char> ring_;
  std::unique_ptr<unsigned char[]> chunk_;  // READ_CHUNK bytes; read-loop thread only
  std::string description_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> dead_{false};
  std::atomic<int> errno_{0};
  std::atomic<uint64_t> bytesIn_{0};
  std::atomic<Log*> log_{nullptr};
  std::atomic<pid_t> readTid_{0};

  // Bytes-arrived notification: waiters_ counts consumers in waitForBytes;
  // room-made notification: spaceWaiters_ is 1 while the read loop waits.
  Mutex arrivalMu_;
  std::condition_variable arrivalCv_;
  std::condition_variable spaceCv_;
  int waiters_ GUARDED_BY(arrivalMu_) = 0;
  int spaceWaiters_ GUARDED_BY(arrivalMu_) = 0;
  int wakeFd_ = -1;  // eventfd; -1 when it could not be made (waits then end by time-out)

  // Read-loop thread handle; owner thread only.
  pthread_t readThread_{};
  bool readThreadStarted_ = false;
  const char* readThreadFunction_ = "";  // static text for the end line

  static std::atomic<bool> _dumpIn;
};

#endif  // VH_IO_IO_H_
