#include "hub/LinkThreads.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "core/Log.h"
#include "core/VhProps.h"
#include "io/Serial.h"
#include "io/Socket.h"
#include "session/SeisServerState.h"
#include "util/Random.h"
#include "util/Text.h"

std::atomic<int> _numOpenSerial{0};

namespace {

constexpr int SECONDS_PER_MINUTE = 60;
constexpr int MINUTES_PER_HOUR = 60;
constexpr int HOURS_PER_DAY = 24;
constexpr int MINUTES_FORM_MAX = 119;  // up to 119 minutes the close line counts minutes
constexpr int SECONDS_FORM_MAX = 119;

// The thread name shown by top -H, cut to what the system keeps.
void nameThisThread(const std::string& name) {
  pthread_setname_np(pthread_self(), bounded(name, THREAD_NAME_MAX).c_str());
}

struct ListenerArgs {
  Socket* listener;
  uint16_t port;
  LinkArgs link;
};

void* serverTaskThread(void* raw) {
  LinkArgs args = *static_cast<LinkArgs*>(raw);
  delete static_cast<LinkArgs*>(raw);
  nameThisThread(std::string("link-") + (args.io->getKind() == IO::KIND_SERIAL ? "ser" : "tcp"));
  serverTask(args);
  return nullptr;
}

// Starts fn on a heap argument block that the thread frees. Returns the
// pthread_create result; on failure the caller still owns nothing (the block
// is freed here).
template <typename Args>
int startThread(void* (*fn)(void*), Args* block, bool detached, pthread_t* id) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, fn, block);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete block;
    return rc;
  }
  if (id != nullptr) *id = thread;
  return 0;
}

void* socketTask(void* raw) {
  ListenerArgs args = *static_cast<ListenerArgs*>(raw);
  delete static_cast<ListenerArgs*>(raw);
  nameThisThread("listen-" + std::to_string(args.port));
  LinkThreads& links = LinkThreads::instance();
  Log* log = args.link.log;
  auto stopped = [&] {
    // Interface log line
    log->flushf("Socket Thread stopped port = %u", static_cast<unsigned>(args.port));
    return nullptr;
  };
  for (;;) {
    auto client = std::make_unique<Socket>();
    for (;;) {
      client->setLog(log);
      log->setVerbose(args.link.props->getInt("verbose", 0));
      if (!links.waitForConnection(args.listener->getDescriptor())) return stopped();
      if (!args.listener->accept(*client)) {
        if (links.stopping()) return stopped();
        log->flushf("socket.accept() failed. Port %d", args.port);
        client.reset();
        if (!links.sleepUnlessStopping(std::chrono::seconds(ACCEPT_RETRY_SECONDS)))
          return stopped();
        break;  // a fresh socket
      }
      if (!links.beginLink()) return stopped();  // the connection closes with its socket
      LinkArgs* block = new LinkArgs{client.get(), args.link.gaps, log, args.link.props};
      int rc = startThread(serverTaskThread, block, true, nullptr);
      if (rc == 0) {
        client.release();  // the session thread owns it now
        log->addf("Socket Server Thread started. Port %d", args.port);
        break;
      }
      links.endLink();
      log->flushf("Could not create Server Thread [%s] err=%d errno=%d",
                  client->getAddress().c_str(), rc, errno);
      client = std::make_unique<Socket>();
      if (!links.sleepUnlessStopping(std::chrono::seconds(ACCEPT_RETRY_SECONDS))) return stopped();
    }
  }
}

void* serialTask(void* raw) {
  LinkArgs args = *static_cast<LinkArgs*>(raw);
  delete static_cast<LinkArgs*>(raw);
  Serial* serial = static_cast<Serial*>(args.io);
  nameThisThread(std::string("serial-") + serial->portName());
  LinkThreads& links = LinkThreads::instance();
  time_t modTime = args.props->getModTime();
  bool serialOn = args.props->doSerial();
  args.log->setVerbose(args.props->doVerbose());
  serial->setLog(args.log);
  for (;;) {
    if (serialOn && serial->connect()) {
      if (!links.beginLink()) {  // stopping: start no session
        serial->close();
        return nullptr;
      }
      serial->setLog(args.log);
      pthread_t session;
      int rc = startThread(serverTaskThread, new LinkArgs(args), false, &session);
      if (rc != 0) {
        links.endLink();
        args.log->flushf("Could not create Server Thread [%s] err=%d errno=%d",
                         serial->portName().c_str(), rc, errno);
      } else {
        ++_numOpenSerial;
        pthread_join(session, nullptr);  // the session thread ends by returning
        --_numOpenSerial;
      }
      serial->close();
    }
    int pause = SERIAL_PROBE_SECONDS + randn(SERIAL_PROBE_JITTER);
    if (!links.sleepUnlessStopping(std::chrono::seconds(pause))) return nullptr;
    time_t now = args.props->getModTime();
    if (now != modTime) {
      args.props->reread();
      serialOn = args.props->doSerial();
      args.log->setVerbose(args.props->doVerbose());
      modTime = now;
    }
  }
}

}  // namespace

std::string sessionCloseLine(long seconds, bool* pauseFirst) {
  *pauseFirst = seconds < SHORT_SESSION_SECONDS;
  std::string line;
  long minutes = seconds / SECONDS_PER_MINUTE;
  long hours = minutes / MINUTES_PER_HOUR;
  if (seconds <= SECONDS_FORM_MAX) {
    line = sformat("CLOSE     %ld secs", seconds);
  } else if (minutes <= MINUTES_FORM_MAX) {
    line = sformat("CLOSE     %ld minutes", minutes);
  } else if (hours < HOURS_PER_DAY) {
    line = sformat("CLOSE     %ld hours, %ld minutes", hours, minutes % MINUTES_PER_HOUR);
  } else {
    line = sformat("CLOSE     %ld days, %ld hours", hours / HOURS_PER_DAY, hours % HOURS_PER_DAY);
  }
  return bounded(line, CLOSE_LINE_MAX);
}

int watchSockets(std::vector<std::unique_ptr<Socket>>& sockets, uint16_t firstPort, int count,
                 VhProps* props, Log* log, Gapses* gaps) {
  if (count < 1) {
    printf("Bad port range. %u to %u.\n", static_cast<unsigned>(firstPort),
           static_cast<unsigned>(firstPort + count - 1));
    return 0;
  }
  int started = 0;
  for (int i = 0; i < count && i < static_cast<int>(sockets.size()); ++i) {
    uint16_t port = static_cast<uint16_t>(firstPort + i);
    Socket* socket = sockets[i].get();
    socket->setLog(log);
    socket->init();
    int result = socket->server(port);
    if (result < 0) {
      printf("FAILED binding to port %u.  result=%d\n", static_cast<unsigned>(port), result);
      fflush(stdout);
      continue;
    }
    ListenerArgs* block = new ListenerArgs{socket, port, LinkArgs{socket, gaps, log, props}};
    pthread_t thread;
    if (startThread(socketTask, block, false, &thread) != 0) {
      log->addf("Could not create Socket Thread. port=%u", static_cast<unsigned>(port));
      continue;
    }
    LinkThreads::instance().adopt(thread);
    log->addf("Socket Thread created port = %u thread id=%lu", static_cast<unsigned>(port),
              static_cast<unsigned long>(thread));
    ++started;
  }
  return started;
}

int watchSerial(std::vector<std::unique_ptr<Serial>>& serials, VhProps* props, Log* log,
                Gapses* gaps) {
  _numOpenSerial = 0;
  int started = 0;
  for (size_t i = 0; i < serials.size(); ++i) {
    Serial* serial = serials[i].get();
    serial->setLog(log);
    serial->init(Serial::getPortName(static_cast<int>(i)), SERIAL_BAUD, SERIAL_MODE);
    LinkArgs* block = new LinkArgs{serial, gaps, log, props};
    pthread_t thread;
    if (startThread(serialTask, block, false, &thread) != 0) {
      log->addf("Could not create serialTask. [%s]", serial->getDescription());
      continue;
    }
    LinkThreads::instance().adopt(thread);
    ++started;
  }
  return started;
}

void serverTask(LinkArgs args) {
  LinkThreads& links = LinkThreads::instance();
  Log* mainLog = args.log;
  mainLog->addf("Thread start Client [%s]",
                bounded(args.io->getDescription(), THREAD_START_DESCRIPTION_MAX).c_str());
  {
    Log sessionLog(mainLog->getStation().c_str());
    sessionLog.setVerbose(mainLog->getVerbosness());
    args.io->setLog(&sessionLog);
    auto session = std::make_unique<SeisServerState>();
    if (links.addSession(session.get())) {
      bool ok = session->init(args.io, args.props, args.gaps, &sessionLog);
      // The duration is measured on the monotonic clock: a step of the wall
      // clock does not change it.
      const auto start = std::chrono::steady_clock::now();
      if (ok) session->loop();
      long seconds = static_cast<long>(
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
              .count());
      bool pauseFirst = false;
      std::string line = sessionCloseLine(seconds, &pauseFirst);
      // An instrument that connects and drops at once is slowed down; the
      // orderly stop cuts the pause short.
      if (pauseFirst) links.sleepUnlessStopping(std::chrono::seconds(SHORT_SESSION_PAUSE_SECONDS));
      // Interface log line
      sessionLog.flush(line.c_str());
      links.removeSession(session.get());
    }
    session.reset();
    if (args.io->getKind() == IO::KIND_SOCKET) {
      delete args.io;  // closes the connection
    } else {
      // The serial transport stays with its watcher: it must not keep a
      // pointer to the session log, which ends with this scope.
      args.io->setLog(mainLog);
    }
  }
  mainLog->addf("closePthread [%s]", "void* serverTask(void*)");
  links.endLink();
}

LinkThreads::LinkThreads() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LinkThreads& LinkThreads::instance() {
  static LinkThreads* links = new LinkThreads();  // lives as long as the process
  return *links;
}

bool LinkThreads::sleepUnlessStopping(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, d, [this] { return stopping(); });
  return !stopping();
}

bool LinkThreads::beginLink() {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping()) return false;
  ++links_;
  return true;
}

void LinkThreads::endLink() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    --links_;
  }
  cv_.notify_all();
}

int LinkThreads::runningLinks() {
  std::lock_guard<std::mutex> lock(mu_);
  return links_;
}

bool LinkThreads::addSession(SeisServerState* session) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping()) return false;
  sessions_.insert(session);
  return true;
}

void LinkThreads::removeSession(SeisServerState* session) {
  std::lock_guard<std::mutex> lock(mu_);
  sessions_.erase(session);
}

void LinkThreads::adopt(pthread_t thread) {
  std::lock_guard<std::mutex> lock(mu_);
  threads_.push_back(thread);
}

bool LinkThreads::waitForConnection(int descriptor) {
  pollfd fds[2] = {{descriptor, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  while (!stopping()) {
    if (poll(fds, 2, -1) >= 0) return !stopping();
    if (errno != EINTR) return !stopping();  // accept reports what is wrong
  }
  return false;
}

bool LinkThreads::stopAll(std::chrono::milliseconds bound) {
  std::vector<pthread_t> threads;
  bool ended;
  {
    std::unique_lock<std::mutex> lock(mu_);
    stopping_.store(true, std::memory_order_release);
    // Each session finishes as on a closed link at its next turn.
    for (SeisServerState* session : sessions_) session->requestStop();
    cv_.notify_all();
    ended = cv_.wait_for(lock, bound, [this] { return links_ == 0; });
    // Listeners waiting for a connection wake up; the descriptor stays
    // readable. The write fails only on a full counter, which is readable too.
    const uint64_t one = 1;
    const ssize_t rc = write(wakeFd_, &one, sizeof one);
    static_cast<void>(rc);
    threads.swap(threads_);
  }
  cv_.notify_all();
  if (!ended) {
    // A session still runs and may use what its threads share: leave the
    // listener and watcher threads alone, the process end stops them.
    for (pthread_t t : threads) pthread_detach(t);
    return false;
  }
  for (pthread_t t : threads) pthread_join(t, nullptr);
  return true;
}

void LinkThreads::TEST_reset() {
  std::lock_guard<std::mutex> lock(mu_);
  stopping_.store(false, std::memory_order_release);
  sessions_.clear();
  links_ = 0;
  threads_.clear();
  uint64_t count;
  const ssize_t rc = read(wakeFd_, &count, sizeof count);  // not readable any more
  static_cast<void>(rc);
}
