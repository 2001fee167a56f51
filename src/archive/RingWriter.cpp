#include "archive/RingWriter.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/Mutex.h"
#include "util/Text.h"

namespace RingWriter {
namespace {

constexpr size_t QUEUE_MAX_EACH = RING_QUEUE_MAX / RING_WRITERS;
constexpr size_t THREAD_NAME_MAX = 15;  // characters pthread_setname_np accepts

struct Item {
  std::string path;
  std::vector<uint8_t> bytes;
};

struct Queue {
  Mutex mu;
  std::condition_variable changed;  // an item came, one was written, or room was made
  std::deque<Item> items GUARDED_BY(mu);
  bool writing GUARDED_BY(mu) = false;  // the writer holds an item outside the queue
  bool started GUARDED_BY(mu) = false;
};

// Never destroyed: the detached writers wait on them until the process ends.
Queue& queue(size_t index) {
  static Queue* const queues = new Queue[RING_WRITERS];
  return queues[index];
}

// The queue (and writer) of a scan file: always the same one, so the records
// of one file are written in the order offered.
size_t queueOf(const std::string& path) { return std::hash<std::string>()(path) % RING_WRITERS; }

void writerLoop(size_t index) {
  pthread_setname_np(pthread_self(),
                     sformatBounded(THREAD_NAME_MAX, "ring-writer-%zu", index).c_str());
  Queue& q = queue(index);
  for (;;) {
    Item item;
    {
      MutexLock lock(q.mu);
      q.mu.wait(q.changed, [&]() REQUIRES(q.mu) { return !q.items.empty(); });
      item = std::move(q.items.front());
      q.items.pop_front();
      q.writing = true;
      q.changed.notify_all();  // room for a waiting link
    }
    appendRecord(item.path, item.bytes.data(), item.bytes.size());
    MutexLock lock(q.mu);
    q.writing = false;
    q.changed.notify_all();  // for drain
  }
}

}  // namespace

void appendRecord(const std::string& path, const uint8_t* bytes, size_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, MODE_SHARED_FILE);
  if (fd < 0) return;
  // A cut record would reach the ring server's clients: appendWhole takes it back.
  const AppendOutcome outcome = appendWhole(fd, bytes, length);
  if (!outcome.whole && !outcome.cutBack) {
    pprintf("Ring scan file cannot be cut back [%s]\n", path.c_str());
  }
  fchmod(fd, MODE_SHARED_FILE);
  ::close(fd);
}

void offer(const std::string& path, const uint8_t* bytes, size_t length) {
  const size_t index = queueOf(path);
  Queue& q = queue(index);
  {
    MutexLock lock(q.mu);
    if (!q.started) {
      try {
        std::thread(writerLoop, index).detach();
        q.started = true;
      } catch (const std::system_error&) {
        // No writer: this link writes its records itself.
      }
    }
    if (q.started) {
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(RING_QUEUE_WAIT_MS);
      q.mu.waitUntil(q.changed, deadline,
                     [&]() REQUIRES(q.mu) { return q.items.size() < QUEUE_MAX_EACH; });
      if (q.items.size() < QUEUE_MAX_EACH) {
        q.items.push_back(Item{path, std::vector<uint8_t>(bytes, bytes + length)});
        q.changed.notify_all();
        return;
      }
    }
  }
  appendRecord(path, bytes, length);
}

bool drain(long timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool done = true;
  for (size_t index = 0; index < RING_WRITERS; ++index) {
    Queue& q = queue(index);
    MutexLock lock(q.mu);
    done = q.mu.waitUntil(q.changed, deadline, [&]() REQUIRES(q.mu) {
      return q.items.empty() && !q.writing;
    }) && done;
  }
  return done;
}

}  // namespace RingWriter
