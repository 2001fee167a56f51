#include "outlets/Ring.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "core/Log.h"
#include "core/VhProps.h"
#include "util/Console.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Process.h"
#include "util/Text.h"

Ring RINGSERVER;

namespace {
constexpr char RING_FOLDER[] = "ring";
constexpr char CONF_FILE[] = "settings/ring.conf";
constexpr char STATE_FILE[] = "scan.state";
constexpr char THREAD_NAME[] = "void* ringThread(void*)";
constexpr size_t CWD_MAX = 256;
}  // namespace

Ring::~Ring() {
  MutexLock lock(mu_);
  if (thread_.joinable()) stopLocked();
}

void Ring::init() {
  MutexLock lock(mu_);
  if (thread_.joinable()) stopLocked();
  enabled_ = false;
  confTime_ = 0;
  // The program folder is known from the start, so that a later switch-on
  // through the properties finds the program too.
  exeDir_ = bounded(VH_DIR.empty() ? std::string(".") : VH_DIR, EXE_DIR_MAX);
  ringDir_ =
      bounded((MODE == MODE_PI ? std::string(PI_RAMDISK) : BASE_DIR) + RING_FOLDER, RING_DIR_MAX);
  mkdirs(ringDir_, true);
  confPath_ = bounded(BASE_DIR + CONF_FILE, CONF_PATH_MAX);
  writeDefaultRingConfLocked();
  readConfLocked();
  mkdirs(conf_.ringDirectory(), true);
  mkdirs(conf_.transferLogDirectory(), true);
  confTime_ = fileModifiedTime(confPath_);
}

void Ring::readConfLocked() {
  conf_.read(confPath_);
  scanDir_ = conf_.scanFolder();
  mkdirs(scanDir_, true);
}

bool Ring::writeDefaultRingConf() {
  MutexLock lock(mu_);
  return writeDefaultRingConfLocked();
}

bool Ring::writeDefaultRingConfLocked() {
  logLine(log_, LOG_ADD, "Ringserver make defaults. %s", confPath_.c_str());
  mkdirs(ringDir_, true);
  std::string ring;
  wslStr(ringDir_, ring, RING_DIR_MAX + 1);
  const std::string statePath = ring + "/" + STATE_FILE;
  FILE* state = fopen(statePath.c_str(), "w");
  if (state != nullptr) fclose(state);
  const long long size = getFileSize(confPath_);
  if (size >= CONF_KEEP_MIN_BYTES) {
    logLine(log_, LOG_ADD, "%s already exists, or size=%ld", confPath_.c_str(),
            static_cast<long>(size));
    return false;
  }
  mkdirs(confPath_, false);
  logLine(log_, LOG_ADD, "Ringserver start write. %s", confPath_.c_str());
  pprintf("_ringDir=[%s]\n", ring.c_str());
  pprintf("scanState2=[%s]\n", statePath.c_str());
  FILE* file = fopen(confPath_.c_str(), "w");
  if (file != nullptr) {
    fprintf(file, "ServerID \"DremoLink\"\n");
    fprintf(file, "RingDirectory %s/data\n", ring.c_str());
    fprintf(file, "DataLinkPort %d\n", RING_DEFAULT_DATALINK_PORT);
    fprintf(file, "SeedLinkPort %d\n", RING_DEFAULT_SEEDLINK_PORT);
    fprintf(file, "TransferLogDirectory %s/log\n", ring.c_str());
    fprintf(file, "MSeedScan %s/scan/ StateFile=%s InitCurrentState=y\n", ring.c_str(),
            statePath.c_str());
    fprintf(file, "RingSize %ld\n", RING_DEFAULT_SIZE);
    fprintf(file, "WatchParent\n");
    fclose(file);
  }
  logLine(log_, LOG_ADD, "Ringserver finish write. %s", confPath_.c_str());
  pprintf("writeDefaultRingConf done.\n");
  return true;
}

void Ring::start(VhProps* props, Log* log) {
  setLog(log);
  init();
  MutexLock lock(mu_);  // init stopped a ring server that ran
  const bool on = props->getInt("ringenabled", 1) == 1;
  logLine(log_, LOG_ADD, "Ringserver %s", on ? "On" : "Off");
  if (!on) return;
  logLine(log_, LOG_ADD, "Ringserver archive size: %u bytes",
          static_cast<unsigned>(conf_.ringSize()));
  logLine(log_, LOG_ADD, "Ringserver name: %s\n", conf_.serverId().c_str());
  logLine(log_, LOG_ADD, "Ringserver archive: %s", conf_.ringDirectory().c_str());
  enabled_ = true;
  runLocked();
}

void startRingserver(VhProps* props, Log* log) { RINGSERVER.start(props, log); }

void Ring::setEnabled(bool on) {
  MutexLock lock(mu_);
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    runLocked();
  } else {
    stopLocked();
  }
}

bool Ring::isEnabled() {
  MutexLock lock(mu_);
  return enabled_;
}

std::string Ring::getScanDir() {
  MutexLock lock(mu_);
  return scanDir_;
}

bool Ring::run() {
  MutexLock lock(mu_);
  return runLocked();
}

bool Ring::runLocked() {
  if (thread_.joinable()) stopLocked();
  {
    MutexLock child(childMu_);
    stopping_ = false;
  }
  const std::string program = gluePath(exeDir_, PROGRAM);
  ThreadOrder order{program + " " + confPath_, program, log_, startPause_, afterPause_};
  try {
    thread_ = std::thread([this, order] { ringThread(order); });
  } catch (const std::system_error& e) {
    logLine(log_, LOG_ADD, "RINGSERVER thread not started: %s", e.what());
    return true;
  }
  return false;
}

void Ring::stop() {
  MutexLock lock(mu_);
  stopLocked();
}

void Ring::stopLocked() {
  logLine(log_, LOG_ADD, "RINGSERVER stop");
  if (thread_.joinable()) {
    logLine(log_, LOG_ADD, "RINGSERVER start kill thread");
    {
      MutexLock child(childMu_);
      stopping_ = true;
    }
    cv_.notify_all();
    pkillLocked();
    thread_.join();
    logLine(log_, LOG_ADD, "RINGSERVER finish kill thread");
  } else {
    pkillLocked();
  }
}

void Ring::pkill() {
  MutexLock lock(mu_);
  pkillLocked();
}

void Ring::pkillLocked() {
  logLine(log_, LOG_ADD, "RINGSERVER start pkill");
  MutexLock child(childMu_);
  if (child_ > 0) {
    kill(child_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + CHILD_KILL_GRACE;
    if (!childMu_.waitUntil(cv_, deadline, [this]() REQUIRES(childMu_) { return child_ == 0; })) {
      kill(child_, SIGKILL);
    }
  }
  logLine(log_, LOG_ADD, "RINGSERVER finish pkill");
}

bool Ring::hasConfChanged() {
  MutexLock lock(mu_);
  const time_t t = fileModifiedTime(confPath_);
  if (t == confTime_) return false;
  confTime_ = t;
  return true;
}

bool Ring::restartIfConfChanged() {
  if (!hasConfChanged()) return false;
  MutexLock lock(mu_);
  readConfLocked();
  if (enabled_) runLocked();
  return true;
}

pid_t Ring::childPid() {
  MutexLock child(childMu_);
  return child_;
}

void Ring::setLog(Log* log) {
  MutexLock lock(mu_);
  log_ = log;
}

void Ring::setExeDir(const std::string& dir) {
  MutexLock lock(mu_);
  exeDir_ = bounded(dir, EXE_DIR_MAX);
}

std::string Ring::getConfPath() {
  MutexLock lock(mu_);
  return confPath_;
}

std::string Ring::getRingDir() {
  MutexLock lock(mu_);
  return ringDir_;
}

void Ring::TEST_setPauses(std::chrono::milliseconds start, std::chrono::milliseconds after) {
  MutexLock lock(mu_);
  startPause_ = start;
  afterPause_ = after;
}

bool Ring::pause(std::chrono::milliseconds d) {
  MutexLock child(childMu_);
  return !childMu_.waitUntil(cv_, std::chrono::steady_clock::now() + d,
                             [this]() REQUIRES(childMu_) { return stopping_; });
}

void Ring::ringThread(const ThreadOrder& order) {
  char cwd[CWD_MAX] = "";
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
  logLine(order.log, LOG_ADD, "RINGSERVER Current working dir: %s", cwd);
  pprintf("%s\n", order.command.c_str());
  if (access(order.program.c_str(), X_OK) != 0) {
    logLine(order.log, LOG_ADD, "%s not found.  Ringsever not running.", order.program.c_str());
    logLine(order.log, LOG_ADD, "closePthread [%s]", THREAD_NAME);
    return;
  }
  while (pause(order.startPause)) {
    logLine(order.log, LOG_ADD, "RINGSERVER system(%s)", order.command.c_str());
    logLine(order.log, LOG_ADD, "RINGSERVER  About to run system(%s)", order.command.c_str());
    const int result = wslSystemWatched(
        order.command.c_str(),
        [this](pid_t pid) {
          MutexLock child(childMu_);
          child_ = pid;
          if (stopping_) kill(pid, SIGTERM);  // the stop came while it started
        },
        [this] {
          {
            MutexLock child(childMu_);
            child_ = 0;
          }
          cv_.notify_all();
        });
    logLine(order.log, LOG_ADD, "RINGSERVER CLOSED. system() result=%d", result);
    if (!pause(order.afterPause)) break;
  }
}
