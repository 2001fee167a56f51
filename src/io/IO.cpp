#include "io/IO.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "core/Log.h"
#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char UNINITED[] = "Uninited";
constexpr char DUMP_NAME_FORMAT[] = "dump/%04d%02d%02d_%02d.dump";
constexpr size_t DUMP_NAME_MAX = 40;
constexpr char NOWSTR_FORMAT[] = "%Y%m%d %H:%M:%S.00 ";
constexpr size_t ERROR_TEXT_MAX = 127;

// Serialises appends to the dump file, which all links share, so that the
// chunks of interleaving links stay whole and in arrival order.
Mutex dumpMu;

}  // namespace

std::atomic<bool> IO::_dumpIn{false};

std::string ioErrorText(int error) {
  char text[ERROR_TEXT_MAX + 1];
  return strerror_r(error, text, sizeof text);  // GNU form: returns the text
}

IO::IO(int kind)
    : kind_(kind),
      chunk_(std::make_unique<unsigned char[]>(READ_CHUNK)),
      description_(UNINITED),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IO::~IO() {
  stopReadLoop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void IO::init() { bytesIn_.store(0, std::memory_order_relaxed); }

bool IO::connect() { return false; }

bool IO::isConnected() { return false; }

void IO::close() {
  stopReadLoop();
  setLog(nullptr);
}

int IO::write(const unsigned char* bytes, int count) {
  secprintf("IO.write.  why are we here? b=NULL? %d num=%d", bytes == nullptr ? 1 : 0, count);
  return 0;
}

const char* IO::getDescription() const { return description_.c_str(); }

bool IO::checkPoll() { return true; }

void IO::setLog(Log* log) { log_.store(log, std::memory_order_release); }

int IO::getErrno() const { return errno_.load(std::memory_order_relaxed); }

void IO::ioFlush() {}

void IO::setDescription(const std::string& text) {
  description_ = bounded(text, IO_DESCRIPTION_MAX);
}

void IO::readOneLoop() {
  if (!connectedFlag()) return;
  int n = ioAvailable();
  if (!connectedFlag() || n < 1) return;
  uint32_t space = ring_.freeSpace();
  int want = std::min({static_cast<int>(space), n, READ_CHUNK});
  // A full ring leaves the bytes waiting in the device.
  if (want < 1) return;
  int k = ioRead(chunk_.get(), want);
  if (k < 1) return;
  bytesIn_.fetch_add(static_cast<uint64_t>(k), std::memory_order_relaxed);
  dump(chunk_.get(), k);
  // Free space only grows while this thread is the one filling the ring, so
  // the whole chunk fits.
  ring_.push(chunk_.get(), static_cast<uint32_t>(k));
  notifyArrival();
}

int IO::ioWait(int timeoutMs) { return -1; }

void IO::notifyArrival() {
  // The bytes (or the dead flag) are published before the lock is taken: a
  // waiter either checks them after this unlock or is already waiting and is
  // woken here.
  MutexLock lock(arrivalMu_);
  if (waiters_ > 0) arrivalCv_.notify_all();
}

void IO::waitForSpace(long timeoutUs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
  MutexLock lock(arrivalMu_);
  ++spaceWaiters_;
  arrivalMu_.waitUntil(spaceCv_, deadline,
                       [&] { return ring_.freeSpace() > 0 || !connectedFlag(); });
  --spaceWaiters_;
}

void IO::notifySpace() {
  // As notifyArrival: the room is made before the lock is taken.
  MutexLock lock(arrivalMu_);
  if (spaceWaiters_ > 0) spaceCv_.notify_one();
}

void IO::readLoop() {
  if (getLog() != nullptr)
    logLine(getLog(), LOG_FLUSH, "ReadLoop start connected=%d", connectedFlag() ? 1 : 0);
  bool readable = false;  // the last wait reported the device readable
  while (connectedFlag() && !isLinkDead()) {
    uint64_t before = getBytesIn();
    readOneLoop();
    if (!connectedFlag() || isLinkDead()) break;
    bool moved = getBytesIn() != before;
    // A full ring waits for the session, not for the device; a readable
    // device that gave nothing (or a transport that cannot wait) gets the
    // fixed pause, so this loop never spins.
    if (ring_.freeSpace() == 0) {
      readable = false;
      waitForSpace(READLOOP_PAUSE_US);
      continue;
    }
    if (readable && !moved) {
      readable = false;
      sleepu(READLOOP_PAUSE_US);
      continue;
    }
    int waited = ioWait(READLOOP_WAIT_MAX_MS);
    if (waited < 0) sleepu(READLOOP_PAUSE_US);
    readable = waited > 0;
  }
}

void* IO::readLoopEntry(void* self) {
  // Signals are left to the process's other threads; the hub handles none.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  IO* io = static_cast<IO*>(self);
  io->readTid_.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
  io->readLoop();
  logLine(io->getLog(), LOG_ADD, "closePthread [%s]", io->readThreadFunction_);
  io->readTid_.store(0, std::memory_order_release);
  return nullptr;
}

bool IO::startReadThread(const char* threadFunction) {
  // A loop that ended by itself (dead link) is still to be joined.
  if (readThreadStarted_) {
    pthread_join(readThread_, nullptr);
    readThreadStarted_ = false;
  }
  dead_.store(false, std::memory_order_release);
  if (wakeFd_ >= 0) {
    uint64_t stale;  // a wake-up left by the last stop
    ssize_t rc = ::read(wakeFd_, &stale, sizeof stale);
    (void)rc;  // nothing to drain is fine
  }
  readThreadFunction_ = threadFunction;
  int rc = pthread_create(&readThread_, nullptr, &IO::readLoopEntry, this);
  if (rc != 0) {
    logLine(getLog(), LOG_FLUSH, "Could not start the read loop [%s] err=%d", getDescription(), rc);
    return false;
  }
  readThreadStarted_ = true;
  std::string name = bounded(std::string("rd-") + description_, THREAD_NAME_MAX);
  pthread_setname_np(readThread_, name.c_str());
  return true;
}

void IO::stopReadLoop() {
  setConnected(false);
  if (!readThreadStarted_) return;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;  // ends the read loop's wait on the device
    ssize_t rc = ::write(wakeFd_, &one, sizeof one);
    (void)rc;  // a full counter is still readable
  }
  if (pthread_equal(readThread_, pthread_self())) return;  // the loop ends after this pass
  pthread_join(readThread_, nullptr);
  readThreadStarted_ = false;
}

void IO::markDead(const char* reason) {
  if (dead_.exchange(true, std::memory_order_acq_rel)) return;
  notifyArrival();  // a waiting consumer learns at once that nothing more comes
  logLine(getLog(), LOG_FLUSH, "Link dead: %s. [%s]", reason, getDescription());
}

int IO::available() {
  // Load the flag first: the bytes pushed before the link died are then
  // visible to the count below.
  bool dead = isLinkDead();
  uint32_t n = ring_.available();
  if (n == 0 && dead) return -1;
  return static_cast<int>(n);
}

int IO::readBuf(unsigned char* bytes, int count) {
  if (!connectedFlag() || count < 1) return 0;
  uint32_t k = ring_.pop(bytes, static_cast<uint32_t>(count));
  if (k > 0) notifySpace();
  uint32_t left = ring_.available();
  if (left > READBUF_BACKLOG_WARN) secprintf("[readBuf _pos=%u, n=%u]", left, k);
  return static_cast<int>(k);
}

int IO::read(unsigned char* bytes, int count, int maxPasses) {
  if (count < 1) {
    secprintf("IO.read num=%d.  WHY?", count);
    return 0;
  }
  setErrno(0);
  if (!isConnected()) return -1;
  // Each wait ends early only when the whole rest of the request is in the
  // ring, so the passes keep their full time budget for a slow sender.
  if (ring_.available() == 0) waitForBytes(static_cast<uint32_t>(count), READ_EMPTY_SLEEP_US);
  int got = 0;
  int pass = 0;
  while (got < count && pass < maxPasses) {
    ++pass;
    int k = readBuf(bytes + got, count - got);
    if (k > 0) got += k;
    if (pass > 1) {
      auto rest = static_cast<uint32_t>(count - got);
      waitForBytes(rest, READ_PASS_SLEEP_US);
      if (pass > READ_SLOW_AFTER_PASSES) waitForBytes(rest, READ_SLOW_SLEEP_US);
    }
  }
  return got;
}

bool IO::waitForBytes(uint32_t wanted, long timeoutUs) {
  auto enough = [&] { return ring_.available() >= wanted || isLinkDead(); };
  if (enough()) return ring_.available() >= wanted;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
  MutexLock lock(arrivalMu_);
  ++waiters_;
  arrivalMu_.waitUntil(arrivalCv_, deadline, enough);
  --waiters_;
  return ring_.available() >= wanted;
}

void IO::ringClear() {
  ring_.clear();
  notifySpace();
}

void IO::clear() {
  ringClear();
  ioFlush();
}

void IO::enableDumpIn(bool on) { _dumpIn.store(on, std::memory_order_relaxed); }

bool IO::dumpInEnabled() { return _dumpIn.load(std::memory_order_relaxed); }

void IO::dump(const unsigned char* bytes, int count) {
  if (!dumpInEnabled() || count < 1) return;
  struct tm tm;
  nowtm(&tm);
  std::string path = sformatBounded(DUMP_NAME_MAX, DUMP_NAME_FORMAT, tm.tm_year + 1900,
                                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour);
  MutexLock lock(dumpMu);
  mkdirs(path, false);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, MODE_SHARED_FILE);
  if (fd < 0) return;
  ssize_t rc = ::write(fd, bytes, static_cast<size_t>(count));
  (void)rc;  // a failed dump is ignored
  ::close(fd);
}

std::string IO::nowStr() const { return formatUtc(time(nullptr), NOWSTR_FORMAT); }
