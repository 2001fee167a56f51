// The threads that turn listening TCP ports and serial ports into running
// instrument sessions.
//
// Design. watchSockets starts one listener thread (socketTask) per bound
// port; each accepts connections for ever and starts one session thread
// (serverTask) per connection. watchSerial starts one watcher thread
// (serialTask) per entry of the serial port table; each probes its port
// every 10 to 14 seconds and, when it opens, runs a session thread and waits
// for it. serverTask builds the session, runs it to its end, writes the
// close line and cleans up.
//
// Ownership. An argument block (LinkArgs) is created by the starter and
// handed by value to the started thread. An accepted Socket belongs to its
// session thread, which deletes it; listener sockets and Serial objects
// belong to start-up and outlive every thread here (see the stop below).
//
// Orderly stop (LinkThreads::stopAll, called by start-up before it destroys
// anything shared): no new session starts, every running session is asked to
// finish as on a closed link (so it writes its caches and gap entries), the
// stop waits for the session threads with a bound, then wakes the listener
// and watcher threads (signalling the wake-up descriptor their waits poll,
// cutting their sleeps short) and joins them; each listener ends with the
// line "Socket Thread stopped port = %u". Only after that may the transports, the gap
// store, the properties and the main log be destroyed.
//
// Thread safety. LinkThreads' mutex guards the set of running sessions and
// the thread lists; the stop flag is atomic. Socket session threads are
// detached and end by returning; the last thing each does is to leave the
// running set, after which it touches nothing shared. A serial session
// thread is joined by its watcher: a well-defined wait in place of joining a
// thread that detaches itself.
#ifndef VH_HUB_LINKTHREADS_H_
#define VH_HUB_LINKTHREADS_H_

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class Gapses;
class IO;
class Log;
class SeisServerState;
class Serial;
class Socket;
class VhProps;

// Serial links whose session thread is running.
extern std::atomic<int> _numOpenSerial;

constexpr int SHORT_SESSION_SECONDS = 60;  // shorter sessions pause before the close line
constexpr int SHORT_SESSION_PAUSE_SECONDS = 30;
constexpr int ACCEPT_RETRY_SECONDS = 3;
constexpr int SERIAL_PROBE_SECONDS = 10;  // plus randn(5) seconds
constexpr int SERIAL_PROBE_JITTER = 5;
constexpr int SERIAL_BAUD = 115200;
constexpr char SERIAL_MODE[] = "8N1";
constexpr size_t CLOSE_LINE_MAX = 59;
constexpr size_t THREAD_START_DESCRIPTION_MAX = 80;

// The argument block of the three thread bodies.
struct LinkArgs {
  IO* io;
  Gapses* gaps;
  Log* log;
  VhProps* props;
};

// The close line of a session that lasted the given seconds, and whether it
// is written only after SHORT_SESSION_PAUSE_SECONDS.
std::string sessionCloseLine(long seconds, bool* pauseFirst);

// Starts a listener thread for every port from firstPort on that can be
// bound. sockets[i] serves port firstPort + i. Returns the number started.
int watchSockets(std::vector<std::unique_ptr<Socket>>& sockets, uint16_t firstPort, int count,
                 VhProps* props, Log* log, Gapses* gaps);
// Starts one watcher thread per serial object. Returns the number started.
int watchSerial(std::vector<std::unique_ptr<Serial>>& serials, VhProps* props, Log* log,
                Gapses* gaps);

// Runs one session on the link and cleans up after it (see the design above).
void serverTask(LinkArgs args);

// Process-wide bookkeeping of the link threads for the orderly stop.
class LinkThreads {
 public:
  static LinkThreads& instance();

  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  // Sleeps for d unless the stop begins first. Returns false when stopping.
  bool sleepUnlessStopping(std::chrono::milliseconds d);

  // A starter counts a link thread before creating it (false once the stop
  // has begun: start nothing); the link thread's very last step is
  // endLink(), after which it touches nothing shared.
  bool beginLink();
  void endLink();
  int runningLinks();
  // A link thread registers its session so that the stop can ask it to
  // finish. addSession refuses (false) once the stop has begun.
  bool addSession(SeisServerState* session);
  void removeSession(SeisServerState* session);

  // Listener and watcher threads, joined by stopAll.
  void adopt(pthread_t thread);
  // Waits until the listening descriptor has a connection to accept or the
  // stop begins. False when stopping.
  bool waitForConnection(int descriptor);

  // The orderly stop. Returns true when every session ended within bound.
  bool stopAll(std::chrono::milliseconds bound);
  // Back to the initial state (tests run several hubs in one process).
  void TEST_reset();

 private:
  LinkThreads();

  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::condition_variable cv_;           // signalled on endLink() and on the stop
  std::set<SeisServerState*> sessions_;  // guarded by mu_
  int links_ = 0;                        // guarded by mu_; link threads counted by beginLink
  std::vector<pthread_t> threads_;       // guarded by mu_
  int wakeFd_;  // eventfd, readable once the stop began; never closed (the object lives on)
};

#endif  // VH_HUB_LINKTHREADS_H_
