// The ring server outlet: runs the ring server program "ringservervh" (from
// the hub's own folder) as a child process with its configuration file
// "<base>settings/ring.conf", restarts it when it ends or the configuration
// changes, and stops it when the outlet is switched off. The records reach
// it through the scan folder the configuration names (MSeedScan), where
// every link's PacketArchive writes them (RingOutlet::getScanDir).
//
// Threads and locks. One object for the process (RINGSERVER), used by the
// start-up thread and by every link's periodic step: mu_ serialises those
// calls (switching, restarting, the configuration). The supervising thread
// (ringThread) works on copies of the paths it is given; it shares only the
// child's pid and the stop flag with the rest, under childMu_, with cv_ to
// wake its pauses. Lock order: mu_ before childMu_. Stopping sets the flag,
// ends the child (SIGTERM, after CHILD_KILL_GRACE SIGKILL) and joins the
// thread, so no thread or child outlives a switch-off; only the hub's own
// child is stopped, never the ring servers of other hubs on the machine.
#ifndef VH_OUTLETS_RING_H_
#define VH_OUTLETS_RING_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <string>
#include <thread>

#include "archive/RingOutlet.h"
#include "core/RingConf.h"
#include "util/Mutex.h"

class Log;
class VhProps;

class Ring : public RingOutlet {
 public:
  static constexpr size_t EXE_DIR_MAX = 127;
  static constexpr size_t CONF_PATH_MAX = 159;
  static constexpr size_t RING_DIR_MAX = 147;
  static constexpr long CONF_KEEP_MIN_BYTES = 100;  // a smaller file is replaced by the defaults
  static constexpr char PROGRAM[] = "ringservervh";
  static constexpr std::chrono::milliseconds START_PAUSE{3000};  // before each run
  static constexpr std::chrono::milliseconds AFTER_PAUSE{2000};  // after the child ended
  static constexpr std::chrono::milliseconds CHILD_KILL_GRACE{3000};

  Ring() = default;
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() override;  // stops the child and the thread

  // Off, no thread, the program folder VH_DIR; the ring folder ("<base>ring",
  // "/mnt/ramdisk/ring" in the Pi mode) and the configuration (defaults when
  // missing or too small) are made, the configuration read and the folders
  // it names created.
  void init();
  // Writes the default configuration unless the file holds at least
  // CONF_KEEP_MIN_BYTES; empties the scan state file either way. True when
  // the defaults were written.
  bool writeDefaultRingConf();

  void setEnabled(bool on) override;
  bool isEnabled() override;
  std::string getScanDir() override;
  bool restartIfConfChanged() override;
  // Restarts the supervising thread (which runs the child). False when it
  // started, true when it could not.
  bool run();
  // Switch-off: ends the thread and the child.
  void stop();
  // Ends the hub's own child, if one runs (bounded).
  void pkill();
  // True when the configuration file's time differs from the one last noted,
  // which is then noted.
  bool hasConfChanged();

  void setLog(Log* log);
  void setExeDir(const std::string& dir);
  std::string getConfPath();
  std::string getRingDir();
  // startRingserver's work on this object.
  void start(VhProps* props, Log* log);
  // The running child's pid, 0 when none runs.
  pid_t childPid();

  void TEST_setPauses(std::chrono::milliseconds start, std::chrono::milliseconds after);

 private:
  struct ThreadOrder {
    std::string command;
    std::string program;
    Log* log;
    std::chrono::milliseconds startPause, afterPause;
  };
  void ringThread(const ThreadOrder& order);
  void stopLocked() REQUIRES(mu_);
  bool runLocked() REQUIRES(mu_);
  void pkillLocked() REQUIRES(mu_);
  void readConfLocked() REQUIRES(mu_);
  bool writeDefaultRingConfLocked() REQUIRES(mu_);
  // Waits up to d unless a stop is asked; false when asked.
  bool pause(std::chrono::milliseconds d);

  Mutex mu_;
  Log* log_ GUARDED_BY(mu_) = nullptr;  // not owned
  std::string exeDir_ GUARDED_BY(mu_) = ".";
  std::string confPath_ GUARDED_BY(mu_);
  std::string ringDir_ GUARDED_BY(mu_);
  RingConf conf_ GUARDED_BY(mu_);
  std::string scanDir_ GUARDED_BY(mu_);
  bool enabled_ GUARDED_BY(mu_) = false;
  time_t confTime_ GUARDED_BY(mu_) = 0;
  std::thread thread_ GUARDED_BY(mu_);
  std::chrono::milliseconds startPause_ GUARDED_BY(mu_) = START_PAUSE;
  std::chrono::milliseconds afterPause_ GUARDED_BY(mu_) = AFTER_PAUSE;

  Mutex childMu_;
  std::condition_variable cv_;
  pid_t child_ GUARDED_BY(childMu_) = 0;
  bool stopping_ GUARDED_BY(childMu_) = false;
};

// The process's ring server outlet.
extern Ring RINGSERVER;

// At hub start: init, then "ringenabled" (default 1) switches the outlet on
// with the program folder VH_DIR, logging the configuration's ring size,
// server name and ring folder.
void startRingserver(VhProps* props, Log* log);

#endif  // VH_OUTLETS_RING_H_
