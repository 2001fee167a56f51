// The hub's status for monitoring.
//
// A thread ("status") writes the status file STATUS_FILE_NAME in BASE_DIR
// every STATUS_WRITE_SECS seconds (a temporary file, then renamed over the
// old one, so a reader always finds a whole document). When the property
// "metricsport" (read at start) is above 0, an embedded HTTP server
// (libmicrohttpd, in a thread of its own) answers on that port of the
// loopback interface: GET "/metrics" with the metrics page, GET "/status"
// with the JSON document; other paths get 404, other methods 405, and
// requests whose header is larger than METRICS_REQUEST_MAX bytes are
// refused by the server (431 or 414). Both forms are rendered from the same
// figures (HubStatus.h) at the moment they are asked for.
//
// Ownership and threads: start-up owns the one publisher; it starts it once
// the listeners are up and stops it (stop() joins the thread and stops the
// server) before the properties and the main log go. The file thread and
// the server's thread read the LinkRegistry, the properties and the
// process-wide counters, which lock themselves; the publisher's mu_ guards
// only the stop flag of its own thread.
#ifndef VH_HUB_STATUSPUBLISHER_H_
#define VH_HUB_STATUSPUBLISHER_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "util/Mutex.h"

class Log;
class VhProps;
struct MHD_Daemon;

constexpr int STATUS_WRITE_SECS = 5;
constexpr char STATUS_FILE_NAME[] = "status.json";
constexpr size_t METRICS_REQUEST_MAX = 16384;  // bytes of a request's header at most
constexpr unsigned METRICS_CONNECTIONS_MAX = 16;
constexpr unsigned METRICS_TIMEOUT_SECS = 10;  // an idle connection is closed after this

class StatusPublisher {
 public:
  // props and log must outlive the publisher.
  StatusPublisher(VhProps* props, Log* log);
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;
  ~StatusPublisher();  // stop()

  // Starts the file thread and, when "metricsport" is above 0, the server
  // (a server that cannot start is logged; the file is written anyway).
  void start();
  // Stops both; safe when not started, and more than once.
  void stop();

  // Writes the status file now. False (logged once until a write works
  // again) when it could not be written.
  bool writeStatusFile();
  // The port the server answers on; 0 when it does not run.
  int metricsPort() const { return metricsPort_; }

  // The pages, as the server gives them (also for tests).
  std::string statusJson();
  std::string metricsPage();

 private:
  struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const;
  };
  void run();
  bool startServer(int port);

  VhProps* const props_;  // not owned
  Log* const log_;        // not owned
  const int64_t startSteadySeconds_;
  int metricsPort_ = 0;
  bool writeFailed_ = false;  // file thread only: the last write failed (and was logged)
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon_;
  std::thread thread_;
  Mutex mu_;
  std::condition_variable cv_;
  bool stopping_ GUARDED_BY(mu_) = false;
};

#endif  // VH_HUB_STATUSPUBLISHER_H_
