#include "hub/Startup.h"

#include <libmseed.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/MinuteZip.h"
#include "archive/MonitorBuffer.h"
#include "archive/RingOutlet.h"
#include "core/Log.h"
#include "core/Version.h"
#include "core/VhProps.h"
#include "gaps/Gapses.h"
#include "gaps/RequestFiles.h"
#include "hub/LinkThreads.h"
#include "hub/ServiceNotify.h"
#include "hub/StatusPublisher.h"
#include "io/IO.h"
#include "io/Serial.h"
#include "io/Socket.h"
#include "metadata/SiteFolder.h"
#include "outlets/Ring.h"
#include "session/SeisServerState.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/Usb.h"

std::atomic<bool> _run{false};
Log _miniseedLog;

namespace {

constexpr char MAIN_LOG_NAME[] = "vh";
constexpr char MINISEED_LOG_NAME[] = "miniseed";
constexpr char SETTINGS_FILE_NAME[] = "settings/vorlanhub.props";
constexpr char LOCAL_SETTINGS_PATH[] = "./settings/vorlanhub.props";
constexpr char BRLTTY_HINT[] =
    "Serial-To-USB not working on Ubuntu?  run \"sudo apt remove brltty\"";
constexpr size_t SETTINGS_PATH_BOUND = 199;
constexpr int DEFAULT_PORT = 58772;
constexpr long OLD_TRANSFER_SECONDS = 604800;  // download/upload files unused for 7 days
// How long the orderly stop waits for running sessions to finish.
constexpr auto SESSION_STOP_BOUND = std::chrono::seconds(20);
// How long the orderly stop then waits for the queued and running minute zips.
constexpr auto ZIP_STOP_BOUND = std::chrono::seconds(30);

constexpr int HUB_EXIT_STATUS = 1;
// Open files wanted: every link holds its socket and wake-up descriptor and
// the open minute files of its two archives; the soft limit is raised to
// this (or to the hard limit when that is lower).
constexpr rlim_t OPEN_FILES_WANTED = 65536;

// Set by the signal thread; read by the main loop.
std::atomic<int> stopSignal{0};
// Set by requestOrderlyStop; read by the main loop.
std::atomic<bool> stopRequested{false};
std::atomic<int> stopExitStatus{HUB_EXIT_STATUS};
std::mutex stopMutex;
std::condition_variable stopCv;

// Blocks SIGTERM and SIGINT in this thread (and so in every thread started
// later) and starts the one thread that waits for them. The signal thread
// is detached: it only records the signal and wakes the main loop, and it
// ends with the process.
void startSignalThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    pthread_setname_np(pthread_self(), "signals");
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    // Notified under the lock: the main thread can only go on (and at the
    // end destroy stopCv) after this thread is done with it.
    std::lock_guard<std::mutex> lock(stopMutex);
    stopSignal.store(sig);
    stopCv.notify_all();
  }).detach();
}

// Sleeps up to the given time; returns early when a stop signal or a stop
// request arrives. Returns the signal number, else 0.
int waitForStopSignal(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(stopMutex);
  stopCv.wait_for(lock, bound, [] { return stopSignal.load() != 0 || stopRequested.load(); });
  return stopSignal.load();
}

void writeTextFile(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;  // a missing settings folder is not an error
  fputs(text, f);
  fclose(f);
}

std::string directoryOf(const char* programPath) {
  if (programPath == nullptr) return std::string();
  std::string p = programPath;
  size_t slash = p.rfind('/');
  return bounded(slash == std::string::npos ? std::string() : p.substr(0, slash), VH_DIR_MAX);
}

char** _argv = nullptr;

// Set by the orderly stop when sessions or zip threads are still running at
// its end: they use process-wide objects, so the process must end without
// destroying those (see vorlanhubMain).
std::atomic<bool> threadsLeftRunning{false};

}  // namespace

void logMiniseed(char* message) {
  if (message == nullptr) return;
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  _miniseedLog.flush(text.c_str());
}

std::string getHomeDir() {
  std::string home;
  const char* env = getenv("HOME");
  if (env != nullptr) {
    home = env;
  } else {
    struct passwd pw;
    struct passwd* result = nullptr;
    std::vector<char> buf(16384);
    errno = 0;
    int rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
    if (rc == 0 && result != nullptr && pw.pw_dir != nullptr && pw.pw_dir[0] != '\0')
      home = pw.pw_dir;
    else
      home = ".";
  }
  HOMEDIR = bounded(home, HOMEDIR_MAX);
  LUMETRAFILES = bounded(HOMEDIR + "/lumetrafiles", LUMETRAFILES_MAX);
  return HOMEDIR;
}

CommandLineAction parseCommandLine(int argc, char** argv, int* mode) {
  *mode = MODE_DEFAULT;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "-v") == 0 || strcmp(a, "--version") == 0) return CommandLineAction::kVersion;
    if (strcmp(a, "--history") == 0) return CommandLineAction::kHistory;
    if (strcmp(a, "--tidora") == 0) {
      *mode = MODE_TIDORA;
    } else if (strcmp(a, "--pi") == 0) {
      printf("VorlanHub for Pi\n");
      *mode = MODE_PI;
    } else if (strcmp(a, "--winservice") == 0) {
      printf("VorlanHub Windows Service\n");
      *mode = MODE_WINSERVICE;
    }
  }
  return CommandLineAction::kRun;
}

int vorlanhubMain(int argc, char** argv) {
  _argv = argv;
  setlocale(LC_ALL, "en_GB");
  getHomeDir();
  int mode = MODE_DEFAULT;
  switch (parseCommandLine(argc, argv, &mode)) {
    case CommandLineAction::kVersion:
      printf("vorlanHub version %d\n", VORLANHUB_VERSION);
      return 0;
    case CommandLineAction::kHistory:
      fputs(VERSION_HISTORY, stdout);
      return 0;
    case CommandLineAction::kRun:
      break;
  }
  MODE = mode;
  printf("USB=[%s]\n", Usb::firstDrive().c_str());
  printf("%s", BRLTTY_HINT);
  fflush(stdout);
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, which the
  // writers report like a full disk, instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  startSignalThread();
  const int status = startVorlanHub();
  if (threadsLeftRunning.load()) {
    // The normal exit would destroy the process-wide objects (the zip
    // mutex, the logs) under the threads that still use them.
    fflush(nullptr);
    std::quick_exit(status);
  }
  return status;
}

void requestOrderlyStop(int exitStatus) {
  std::lock_guard<std::mutex> lock(stopMutex);
  if (!stopRequested.load()) stopExitStatus.store(exitStatus);
  stopRequested.store(true);
  stopCv.notify_all();
}

void stopVorlanHub() {
  Log log(MAIN_LOG_NAME);
  log.add("Closing VorlanHub");
  _run.store(false);
}

int startVorlanHub() {
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < OPEN_FILES_WANTED) {
    files.rlim_cur = std::min(files.rlim_max, OPEN_FILES_WANTED);
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // 1. Directories and the settings path of the run mode.
  std::string settingsPath;
  if (MODE == MODE_TIDORA || MODE == MODE_WINSERVICE) {
    BASE_DIR = bounded(LUMETRAFILES + "/tidora/", BASE_DIR_MAX);
    settingsPath = bounded(BASE_DIR + SETTINGS_FILE_NAME, SETTINGS_PATH_BOUND);
    mkdirs(BASE_DIR, true);
  } else {
    BASE_DIR = "./";
    settingsPath = LOCAL_SETTINGS_PATH;
  }
  // 2-5. The miniSEED log, the program's folder and the version files.
  _miniseedLog.init(MINISEED_LOG_NAME);
  VH_DIR = directoryOf(_argv != nullptr ? _argv[0] : nullptr);
  writeTextFile(BASE_DIR + "settings/vhversion", sformat("%d", VORLANHUB_VERSION).c_str());
  writeTextFile(BASE_DIR + "settings/vhhistory.html", VERSION_HISTORY);

  // 6-8. The main log and the banner.
  auto log = std::make_unique<Log>(MAIN_LOG_NAME);
  if (MODE == MODE_TIDORA) log->flushf("Start VorlanHub for Tidora v%d.\n", VORLANHUB_VERSION);
  if (MODE == MODE_PI) log->flushf("Start VorlanHub for Pi v%d.\n", VORLANHUB_VERSION);
  if (MODE == MODE_WINSERVICE)
    log->flushf("Start VorlanHub Windows Service v%d.\n", VORLANHUB_VERSION);
  std::string usbDrive = Usb::firstDrive();
  log->flushf("USB Drive=[%s]\n", usbDrive.c_str());
  log->flush(BRLTTY_HINT);

  // 9-10. libmseed's messages go to the miniseed log; scratch folders are cleared.
  ms_loginit(logMiniseed, "ms", logMiniseed, "ms err");
  deleteFolder(LUMETRAFILES + "/tmp/");

  // 12-18. The hub properties.
  auto props = std::make_unique<VhProps>();
  props->read(bounded(settingsPath, SETTINGS_PATH_MAX));
  DOPRINTF.store(props->getInt("print", 0) != 0);
  uint16_t portLow;
  uint16_t portHigh;
  {
    uint16_t port = static_cast<uint16_t>(props->getInt("port", DEFAULT_PORT));
    portLow = static_cast<uint16_t>(props->getInt("portlow", port));
    portHigh = static_cast<uint16_t>(props->getInt("porthigh", portLow));
  }
  time_t propsModTime = props->getModTime();
  int sourceId = props->getHex("sourceid", 1);
  std::string extractArchive = props->getPath("extractarchive", "");
  IO::enableDumpIn(props->getInt("dumpin", 0) != 0);

  // 19. The site register starts empty: no station is connected yet.
  {
    SiteFolder sites;
    sites.init(props->getTransactionsDir());
    sites.removeAll();
  }
  // Client requests left from an earlier run are stale; while the hub runs
  // they wait for their station's link.
  RequestFiles::clearFolders(props->getTransactionsDir());

  // 20-21. The effective configuration.
  int numPorts = static_cast<int>(portHigh) - static_cast<int>(portLow) + 1;
  if (numPorts < 0) numPorts = 0;
  std::string transactionsDir = props->getTransactionsDir();
  log->flushf("vorlanhub\nportlow=%hu\nporthigh=%hu\nsourceId=%d\nrequestDir=%s\n", portLow,
              portHigh, sourceId, transactionsDir.c_str());
  log->flushf("archive1=%s\narchive2=%s\n", props->getArchiveTemplate(0).c_str(),
              props->getArchiveTemplate(1).c_str());
  log->flushf("trigxmlarchive=%s\nextractarchive=%s\n", props->getTrigXmlTemplate().c_str(),
              extractArchive.c_str());
  log->flushf("settings=%d\nsettingcommands=%d\n", props->doSettingFile() ? 1 : 0,
              props->doSettingCommands() ? 1 : 0);
  log->flushf("verbose=%d\nbackfill=%d\n", props->getInt("verbose", 0),
              props->getInt("backfill", 1) == 1 ? 1 : 0);

  // 22. The one gap store of all links.
  auto gapses = std::make_unique<Gapses>(log.get());

  // 23-25. The transfer folders and the time folder.
  DOWNLOAD_DIR = bounded(BASE_DIR + "download/", DOWNLOAD_DIR_MAX);
  mkdirs(DOWNLOAD_DIR, true);
  deleteOldFilesRecursive(DOWNLOAD_DIR, OLD_TRANSFER_SECONDS);
  UPLOAD_DIR = bounded(BASE_DIR + "upload/", UPLOAD_DIR_MAX);
  mkdirs(UPLOAD_DIR, true);
  chmod(UPLOAD_DIR.c_str(), MODE_SHARED_FOLDER);
  deleteOldFilesRecursive(UPLOAD_DIR, OLD_TRANSFER_SECONDS);
  if (MODE == MODE_PI && usbDrive.empty()) {
    log->flushf("No USB drive: time files kept under [%s]\n", BASE_DIR.c_str());
  } else if (MODE == MODE_PI) {
    USB_DIR = bounded(joinPath(usbDrive, ""), USB_DIR_MAX);
  }
  mkdirs(timeFolder(MODE, usbDrive, BASE_DIR), true);

  // 26. What a viewer left in the monitor folder is stale now.
  if (props->getIntKey("monitorenabled") == 1) {
    MonitorBuffer monitor;
    monitor.setDir(props->getTextKey("monitordir"));
    if (monitor.getDir().size() > 1) monitor.clearAll();
  }

  // The zip workers of finished minutes, set before any link starts.
  MinuteZip::setWorkers(props->getIntKey("zipworkers"));

  // 27-28. The TCP listeners and the serial watchers.
  std::vector<std::unique_ptr<Socket>> sockets;
  for (int i = 0; i < numPorts; ++i) sockets.push_back(std::make_unique<Socket>());
  watchSockets(sockets, portLow, numPorts, props.get(), log.get(), gapses.get());
  std::vector<std::unique_ptr<Serial>> serials;
  for (int i = 0; i < Serial::numPorts(); ++i) serials.push_back(std::make_unique<Serial>());
  watchSerial(serials, props.get(), log.get(), gapses.get());

  // 29. The ring server outlet.
  setRingOutlet(&RINGSERVER);
  startRingserver(props.get(), log.get());

  // Sessions may ask for the orderly stop (the companion watchdog).
  SeisServerState::setProcessStopHook(requestOrderlyStop);

  // The status file and, when "metricsport" is set, the metrics server.
  auto status = std::make_unique<StatusPublisher>(props.get(), log.get());
  status->start();

  // 30-31. The main wait loop; under a service manager with a watchdog it
  // wakes often enough to ping it.
  ServiceNotify::ready();
  std::chrono::milliseconds pollBound = std::chrono::seconds(STOP_POLL_SECONDS);
  const std::chrono::milliseconds watchdogPing = ServiceNotify::watchdogPingInterval();
  if (watchdogPing.count() > 0 && watchdogPing < pollBound) pollBound = watchdogPing;
  _run.store(true);
  std::string shutdownPath = BASE_DIR + "/shutdown";
  while (_run.load()) {
    if (watchdogPing.count() > 0) ServiceNotify::watchdog();
    int sig = waitForStopSignal(pollBound);
    if (sig != 0) {
      // Interface log line
      log->flushf("%s received. Orderly stop.", sig == SIGTERM ? "SIGTERM" : "SIGINT");
      stopVorlanHub();
      break;
    }
    if (stopRequested.load()) {
      // Interface log line
      log->flushf("Orderly stop asked by a session. Exit status %d.", stopExitStatus.load());
      stopVorlanHub();
      break;
    }
    time_t modTime = props->getModTime();
    if (modTime != propsModTime) propsModTime = modTime;
    FILE* f = fopen(shutdownPath.c_str(), "r");
    if (f != nullptr) {
      // Interface log line
      log->flush("shutdown file found");
      fclose(f);
      removeFile(shutdownPath);
      stopVorlanHub();
    }
  }

  // 32. The orderly stop. The sessions end first, each as on a closed link,
  // so that they write their caches and gap entries; only then is what they
  // share destroyed, in reverse order of creation.
  ServiceNotify::stopping();
  status.reset();
  const bool sessionsEnded = LinkThreads::instance().stopAll(SESSION_STOP_BOUND);
  RINGSERVER.setEnabled(false);
  RINGSERVER.setLog(nullptr);
  // Minutes still queued or being zipped are placed before the process ends.
  if (!MinuteZip::waitAll(ZIP_STOP_BOUND)) {
    threadsLeftRunning.store(true);
    // Interface log line
    log->flushf("%d zip threads did not end within %d seconds", MinuteZip::running(),
                static_cast<int>(ZIP_STOP_BOUND.count()));
  }
  if (!sessionsEnded) {
    threadsLeftRunning.store(true);
    // Interface log line
    log->flushf("%d sessions did not end within %d seconds", LinkThreads::instance().runningLinks(),
                static_cast<int>(SESSION_STOP_BOUND.count()));
    // What the remaining sessions share must stay alive until the process
    // ends; the gap files are written now.
    gapses->storeAll();
    log->flush();
    gapses.release();
    props.release();
    log.release();
    for (auto& socket : sockets) socket.release();
    for (auto& serial : serials) serial.release();
    return stopExitStatus.load();
  }
  while (!serials.empty()) serials.pop_back();
  while (!sockets.empty()) sockets.pop_back();
  gapses.reset();
  props.reset();
  log.reset();
  return stopExitStatus.load();
}
