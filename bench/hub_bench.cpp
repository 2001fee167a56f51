// Figures of the whole hub with simulated instruments (prints, asserts nothing):
//
//  1. Fast runs, for each N of --counts: N instruments (dremosim --count N),
//     3 channels at 100 samples per second, --records R each, sent as fast as
//     the link takes them, first into the built hub (its own temporary folder,
//     free port, serialenabled=0, all other properties at their defaults) and
//     then into a plain loopback sink (the same N connections, the same
//     records appended to one file per connection, nothing else; the ceiling).
//     For each: stored records per second, CPU seconds per 1000 records
//     (utime + stime of the process from the start of the simulator until
//     all but the last batch of each session are stored; minutes zipped
//     later are not counted),
//     resident memory (VmRSS, VmHWM), and the time from a record's frame
//     leaving the simulator (dremosim --send-times) to its bytes being in a
//     file (inotify on the archive; median and 99th percentile).
//  2. A real-time run: --realtime-count instruments at real-time rate for
//     --realtime-seconds into the hub, with a second archive (two finished
//     minutes per instrument and minute to zip): CPU per instrument (percent
//     of one core), resident memory and threads per instrument (and the
//     most threads seen), frame-to-file latency, minute zips per minute, and
//     how long the finished minutes take to be zipped once the instruments
//     stop (the minute files left unzipped after --drain-seconds).
//
// Each figure is printed beside its target.
//
// The stored-record rate counts busy time only: spans of more than
// IDLE_GAP_S in which no record was sent or stored (the hub's "sleep 10" to
// an instrument shortly after link start pauses the stream) are left out and
// reported.
//
// Internal mode: hub_bench --sink PORT DIR runs the loopback sink.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "FrameDecoder.h"
#include "protocol/SelvomaPacket.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"
#include "waveform/Miniseed.h"

namespace {

constexpr size_t RECORD_BYTES = 512;
constexpr size_t STATION_OFFSET = 8, STATION_LENGTH = 5;
constexpr size_t CHANNEL_OFFSET = 15, CHANNEL_LENGTH = 3;
constexpr uint32_t SINK_ID = 0x00000001;
constexpr int SINK_ACK_EVERY = 100;  // the hub's data acknowledgement interval
constexpr size_t SINK_READ_BYTES = 65536;
constexpr int SINK_BACKLOG = 1024;
constexpr double IDLE_GAP_S = 1.0;  // longer pauses are not busy time
constexpr int HUB_BATCH_MAX = 5;    // records a hub session may still hold at the end
constexpr int INOTIFY_POLL_MS = 100;
constexpr int STALL_S = 15;  // a fast run ends when nothing is stored this long
constexpr int64_t US_PER_S = 1000000;

int64_t nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string trimmed(const char* bytes, size_t length) {
  std::string s(bytes, length);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// "STA CHA START_US": the key of a record in files and in the send-time lines.
std::string recordKey(const uint8_t* record) {
  return trimmed(reinterpret_cast<const char*>(record) + STATION_OFFSET, STATION_LENGTH) + " " +
         trimmed(reinterpret_cast<const char*>(record) + CHANNEL_OFFSET, CHANNEL_LENGTH) + " " +
         std::to_string(static_cast<long long>(Miniseed::getStartTime(record)));
}

// ---------------------------------------------------------------- /proc

struct ProcFigures {
  double cpuSeconds = 0;  // utime + stime
  long rssKb = 0, hwmKb = 0;
  int threads = 0;
};

ProcFigures procFigures(pid_t pid) {
  ProcFigures f;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  if (end != std::string::npos) {
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    // Fields after the name start at state (3); utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    f.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) f.rssKb = atol(line.c_str() + 6);
    if (line.compare(0, 6, "VmHWM:") == 0) f.hwmKb = atol(line.c_str() + 6);
    if (line.compare(0, 8, "Threads:") == 0) f.threads = atoi(line.c_str() + 8);
  }
  return f;
}

// ---------------------------------------------------------------- stored records

// Watches a folder tree with inotify and notes, for every whole 512-byte
// record appended to a file ending in ".ms", the moment it was seen. Its own
// thread; the results are read after stop().
class StoreWatcher {
 public:
  explicit StoreWatcher(std::string root) : root_(std::move(root)) {}
  ~StoreWatcher() { stop(); }

  bool start() {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0) return false;
    addTree(root_);
    thread_ = std::thread([this] { run(); });
    return true;
  }
  void stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    ::close(fd_);
    visit(root_);  // a last look at every file, now on this thread
  }
  size_t count() const { return count_.load(); }
  // Seen time of each record key (first sighting) and sighting times in order.
  std::unordered_map<std::string, int64_t> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  std::vector<int64_t> times() {
    std::lock_guard<std::mutex> lock(mu_);
    return times_;
  }
  size_t duplicates() const { return duplicates_.load(); }
  size_t overflows() const { return overflows_.load(); }

 private:
  void addTree(const std::string& dir) {
    int wd = inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_ONLYDIR);
    if (wd < 0) return;
    dirs_[wd] = dir;
    // Whatever appeared before the watch was in place.
    for (const std::string& name : listDir(dir)) visit(dir + "/" + name);
  }
  void visit(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      addTree(path);
    } else if (path.size() > 3 && path.compare(path.size() - 3, 3, ".ms") == 0) {
      readNew(path);
    }
  }
  void readNew(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    size_t& offset = offsets_[path];
    int64_t now = nowUs();
    uint8_t record[RECORD_BYTES];
    while (pread(fd, record, RECORD_BYTES, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(RECORD_BYTES)) {
      offset += RECORD_BYTES;
      std::string key = recordKey(record);
      std::lock_guard<std::mutex> lock(mu_);
      if (!seen_.emplace(key, now).second) {
        ++duplicates_;
        continue;
      }
      times_.push_back(now);
      ++count_;
    }
    ::close(fd);
  }
  void run() {
    alignas(inotify_event) char buffer[64 * 1024];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, INOTIFY_POLL_MS) < 1) continue;
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        auto* e = reinterpret_cast<inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if (e->mask & IN_Q_OVERFLOW) {
          // Events were lost: look at every file again.
          ++overflows_;
          visit(root_);
          continue;
        }
        auto dir = dirs_.find(e->wd);
        if (dir == dirs_.end() || e->len == 0) continue;
        visit(dir->second + "/" + e->name);
      }
    }
  }

  const std::string root_;
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::map<int, std::string> dirs_;        // watcher thread only (and start)
  std::map<std::string, size_t> offsets_;  // watcher thread only (and start)
  std::mutex mu_;
  std::unordered_map<std::string, int64_t> seen_;  // guarded by mu_
  std::vector<int64_t> times_;                     // guarded by mu_
  std::atomic<size_t> count_{0}, duplicates_{0}, overflows_{0};
};

// ---------------------------------------------------------------- the sink

bool sendFrame(int fd, uint8_t type, uint32_t dest, uint8_t seqNo) {
  SelvomaPacket packet;
  packet.make(type, SINK_ID, dest, seqNo);
  std::vector<uint8_t> bytes = encodeFrame(&packet);
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// One connection: IDENTIFY, LINK_INIT on the answer, ACK every 100th data
// frame (and every other frame), and the records of each read appended to
// the connection's file in one write.
void sinkConnection(int fd, std::string path) {
  int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  FrameDecoder decoder;
  std::vector<uint8_t> input(SINK_READ_BYTES), block;
  sendFrame(fd, SelvomaPacket::IDENTIFY, 0, 0);
  for (;;) {
    ssize_t k = ::recv(fd, input.data(), input.size(), 0);
    if (k <= 0) break;
    decoder.feed(input.data(), static_cast<size_t>(k));
    SelvomaPacket p;
    for (auto r = decoder.next(&p); r != FrameDecoder::NEED_MORE; r = decoder.next(&p)) {
      if (r != FrameDecoder::FRAME) continue;
      if (p.type == SelvomaPacket::IDENTIFY) {
        sendFrame(fd, SelvomaPacket::LINK_INIT, p.sourceId, 0);
      } else if (p.type == SelvomaPacket::MINISEED) {
        block.insert(block.end(), p.payload(), p.payload() + p.payloadLen());
        if (p.seqNo % SINK_ACK_EVERY == 0) sendFrame(fd, SelvomaPacket::ACK, p.sourceId, p.seqNo);
      } else if (p.type != SelvomaPacket::LINK_INIT && p.type != SelvomaPacket::ACK) {
        sendFrame(fd, SelvomaPacket::ACK, p.sourceId, p.seqNo);
      }
    }
    if (!block.empty() && out >= 0) {
      ssize_t w = ::write(out, block.data(), block.size());
      (void)w;
      block.clear();
    }
  }
  if (out >= 0) ::close(out);
  ::close(fd);
}

int runSink(int port, const std::string& dir) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, SINK_BACKLOG) != 0) {
    perror("sink");
    return 1;
  }
  printf("sink listening\n");
  fflush(stdout);
  for (int index = 0;; ++index) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char name[32];
    snprintf(name, sizeof name, "/%03d.ms", index);
    std::thread(sinkConnection, fd, dir + name).detach();
  }
}

// ---------------------------------------------------------------- one run

struct RunFigures {
  size_t stored = 0;       // records in files while the instruments streamed
  size_t storedAtEnd = 0;  // records in files after the sessions ended
  size_t duplicates = 0;
  size_t overflows = 0;  // lost inotify events (every file looked at again)
  size_t sent = 0;       // records the simulator sent
  double busySeconds = 0, idleSeconds = 0;
  double rate = 0;  // stored / busySeconds
  double cpuSeconds = 0;
  long rssKb = 0, hwmKb = 0, baseRssKb = 0;
  double latencyMedianMs = -1, latencyP99Ms = -1;
  // From the last frame of the record's station sent before the record was
  // in a file (the frame that completed its batch, or a later one) to then:
  // the hub's own delay beyond waiting for the batch to fill.
  double beyondBatchP99Ms = -1;
  bool complete = false;
};

// Busy time between the first and the last event, without pauses longer than IDLE_GAP_S.
void busyTime(std::vector<int64_t> events, RunFigures* f) {
  std::sort(events.begin(), events.end());
  for (size_t i = 1; i < events.size(); ++i) {
    double gap = static_cast<double>(events[i] - events[i - 1]) / US_PER_S;
    if (gap > IDLE_GAP_S) {
      f->idleSeconds += gap;
    } else {
      f->busySeconds += gap;
    }
  }
}

void latencies(const std::string& sendTimesPath,
               const std::unordered_map<std::string, int64_t>& seen, int64_t before, RunFigures* f,
               std::vector<int64_t>* sendTimes) {
  std::ifstream in(sendTimesPath);
  std::string station, channel;
  long long start = 0, sent = 0;
  std::vector<double> ms;
  std::map<std::string, std::vector<int64_t>> stationSends;
  std::vector<std::pair<std::string, int64_t>> stored;  // station, seen
  while (in >> station >> channel >> start >> sent) {
    sendTimes->push_back(sent);
    stationSends[station].push_back(sent);
    auto it = seen.find(station + " " + channel + " " + std::to_string(start));
    if (it == seen.end() || it->second > before) continue;
    ms.push_back(static_cast<double>(it->second - sent) / 1000.0);
    stored.emplace_back(station, it->second);
  }
  f->sent = sendTimes->size();
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  f->latencyMedianMs = ms[ms.size() / 2];
  f->latencyP99Ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  std::vector<double> beyond;
  for (auto& entry : stationSends) std::sort(entry.second.begin(), entry.second.end());
  for (const auto& record : stored) {
    const std::vector<int64_t>& sends = stationSends[record.first];
    auto last = std::upper_bound(sends.begin(), sends.end(), record.second);
    if (last == sends.begin()) continue;
    beyond.push_back(static_cast<double>(record.second - *(last - 1)) / 1000.0);
  }
  if (beyond.empty()) return;
  std::sort(beyond.begin(), beyond.end());
  f->beyondBatchP99Ms = beyond[std::min(beyond.size() - 1, beyond.size() * 99 / 100)];
}

std::string selfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) return "";
  path[n] = '\0';
  return path;
}

// Target of a fast run: the hub or the sink, started in its own folder.
struct Target {
  virtual ~Target() = default;
  virtual bool start() = 0;
  virtual pid_t pid() = 0;
  virtual int port() = 0;
  virtual std::string storeRoot() = 0;
};

// The hub program (the built one unless --hub names another, e.g. an older
// build to compare with).
std::string hubProgram;

struct HubTarget : Target {
  TempDir work, home;
  int port_ = freeTcpPort();
  std::unique_ptr<ChildProcess> hub;
  std::string extraProps;  // property lines beyond the port and serialenabled=0
  bool start() override {
    mkdir(work.file("settings").c_str(), 0777);
    mkdir(work.file("archive").c_str(), 0777);
    writeText(work.file("settings/vorlanhub.props"),
              "serialenabled=0\nport=" + std::to_string(port_) + "\n" + extraProps);
    hub = std::make_unique<ChildProcess>(std::vector<std::string>{hubProgram}, work.path(),
                                         std::map<std::string, std::string>{{"HOME", home.path()}});
    if (!hub->start()) return false;
    // Started once its configuration is logged.
    return waitFor(
        [&] {
          for (const std::string& name : listDir(work.file("log"))) {
            if (readText(work.file("log/" + name)).find("\nbackfill=") != std::string::npos)
              return true;
          }
          return false;
        },
        std::chrono::seconds(10));
  }
  pid_t pid() override { return hub->pid(); }
  int port() override { return port_; }
  std::string storeRoot() override { return work.file("archive"); }
};

struct SinkTarget : Target {
  TempDir dir;
  int port_ = freeTcpPort();
  std::unique_ptr<ChildProcess> sink;
  bool start() override {
    mkdir(dir.file("data").c_str(), 0777);
    sink = std::make_unique<ChildProcess>(
        std::vector<std::string>{selfPath(), "--sink", std::to_string(port_), dir.file("data")},
        dir.path());
    if (!sink->start()) return false;
    return waitFor([&] { return sink->output().find("sink listening") != std::string::npos; },
                   std::chrono::seconds(10));
  }
  pid_t pid() override { return sink->pid(); }
  int port() override { return port_; }
  std::string storeRoot() override { return dir.file("data"); }
};

// N instruments, R records each, as fast as possible.
RunFigures fastRun(Target& target, int n, long records) {
  RunFigures f;
  if (!target.start()) {
    fprintf(stderr, "target did not start\n");
    return f;
  }
  ProcFigures base = procFigures(target.pid());
  f.baseRssKb = base.rssKb;
  StoreWatcher watcher(target.storeRoot());
  watcher.start();
  TempDir simDir;
  std::string sendTimes = simDir.file("send-times");
  ChildProcess sim({builtProgram("dremosim"), "--port", std::to_string(target.port()), "--count",
                    std::to_string(n), "--as-fast-as-possible", "--records",
                    std::to_string(records), "--reconnect", "0", "--send-times", sendTimes},
                   simDir.path());
  sim.start();
  // A hub session keeps its last batch (at most HUB_BATCH_MAX records) until it ends.
  size_t expected = static_cast<size_t>(n) * static_cast<size_t>(records);
  size_t enough = expected - static_cast<size_t>(n) * HUB_BATCH_MAX;
  // Ends early when nothing new is stored for STALL_S (longer than the
  // hub's "sleep 10"): an instrument that never got its link.
  auto bound = std::chrono::seconds(120 + expected / 200);
  size_t lastCount = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  waitFor(
      [&] {
        size_t c = watcher.count();
        auto now = std::chrono::steady_clock::now();
        if (c != lastCount) {
          lastCount = c;
          lastProgress = now;
        }
        return c >= enough || now - lastProgress > std::chrono::seconds(STALL_S);
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(bound));
  f.complete = watcher.count() >= enough;
  int64_t streamEnd = nowUs();
  ProcFigures end = procFigures(target.pid());
  sim.signal(SIGTERM);
  sim.wait(std::chrono::seconds(30));
  // The records a session still held arrive when it ends.
  waitFor([&] { return watcher.count() >= expected; }, std::chrono::seconds(5));
  watcher.stop();
  f.cpuSeconds = end.cpuSeconds - base.cpuSeconds;
  f.rssKb = end.rssKb;
  f.hwmKb = end.hwmKb;
  f.storedAtEnd = watcher.count();
  f.duplicates = watcher.duplicates();
  f.overflows = watcher.overflows();
  auto seen = watcher.seen();
  std::vector<int64_t> events;
  latencies(sendTimes, seen, streamEnd, &f, &events);
  for (int64_t t : watcher.times()) {
    if (t > streamEnd) continue;
    events.push_back(t);
    ++f.stored;
  }
  busyTime(events, &f);
  if (f.busySeconds > 0) f.rate = static_cast<double>(f.stored) / f.busySeconds;
  return f;
}

struct Options {
  std::vector<int> counts{1, 10, 50};
  long records = 2000;
  int realtimeCount = 50;
  double realtimeSeconds = 120;
  double warmupSeconds = 15;
  double drainSeconds = 60;
};

// Targets (figures, not tests: printed beside the measurement).
constexpr double TARGET_RATE_RATIO = 0.6;        // hub rate / sink rate, fast runs
constexpr double TARGET_CPU_PCT = 0.1;           // % of one core per real-time instrument
constexpr double TARGET_RSS_MB = 1.0;            // resident MB per real-time instrument
constexpr double TARGET_LATENCY_EXTRA_MS = 100;  // p99 beyond the batch time
constexpr double TARGET_ZIPS_PER_MIN = 400;
constexpr char ARCHIVE2_TEMPLATE[] = "archive2/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
constexpr int SAMPLE_MS = 1000;  // real-time run: thread and zip samples

// Files under folder (recursively) whose name ends in suffix.
size_t countFiles(const std::string& folder, const std::string& suffix) {
  size_t n = 0;
  for (const std::string& name : listDir(folder)) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      n += countFiles(path, suffix);
    } else if (name.size() > suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      ++n;
    }
  }
  return n;
}

void printFast(const char* what, int n, const RunFigures& f) {
  printf(
      "%-10s N=%-3d stored=%zu/%zu (at end %zu)%s dup=%zu ovf=%zu  %8.0f rec/s  busy=%.1fs "
      "idle=%.1fs  cpu=%.3f s/1000rec  RSS=%.1f MB HWM=%.1f MB  latency median=%.1f ms "
      "p99=%.1f ms\n",
      what, n, f.stored, f.sent, f.storedAtEnd, f.complete ? "" : " (INCOMPLETE)", f.duplicates,
      f.overflows, f.rate, f.busySeconds, f.idleSeconds,
      f.stored > 0 ? f.cpuSeconds * 1000.0 / f.stored : 0.0, f.rssKb / 1024.0, f.hwmKb / 1024.0,
      f.latencyMedianMs, f.latencyP99Ms);
  fflush(stdout);
}

void realtimeRun(const Options& o) {
  HubTarget hub;
  hub.extraProps = std::string("archive2=") + ARCHIVE2_TEMPLATE + "\n";
  if (!hub.start()) {
    fprintf(stderr, "hub did not start\n");
    return;
  }
  // The hub on its own first, for the same length as the warm-up.
  ProcFigures idle0 = procFigures(hub.pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(o.warmupSeconds));
  ProcFigures idle1 = procFigures(hub.pid());
  double idleCpuPct = (idle1.cpuSeconds - idle0.cpuSeconds) / o.warmupSeconds * 100.0;

  StoreWatcher watcher(hub.storeRoot());
  watcher.start();
  TempDir simDir;
  std::string sendTimes = simDir.file("send-times");
  ChildProcess sim({builtProgram("dremosim"), "--port", std::to_string(hub.port()), "--count",
                    std::to_string(o.realtimeCount), "--reconnect", "0", "--send-times", sendTimes},
                   simDir.path());
  sim.start();
  std::this_thread::sleep_for(std::chrono::duration<double>(o.warmupSeconds));
  ProcFigures a = procFigures(hub.pid());
  const size_t zipsBefore = countFiles(hub.work.file("archive"), ".ms.zip") +
                            countFiles(hub.work.file("archive2"), ".ms.zip");
  auto t0 = std::chrono::steady_clock::now();
  int peakThreads = a.threads;
  const auto measureEnd = t0 + std::chrono::duration<double>(o.realtimeSeconds);
  while (std::chrono::steady_clock::now() < measureEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(SAMPLE_MS));
    peakThreads = std::max(peakThreads, procFigures(hub.pid()).threads);
  }
  ProcFigures b = procFigures(hub.pid());
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const size_t zipsAfter = countFiles(hub.work.file("archive"), ".ms.zip") +
                           countFiles(hub.work.file("archive2"), ".ms.zip");
  int64_t streamEnd = nowUs();
  sim.signal(SIGTERM);
  sim.wait(std::chrono::seconds(30));
  // The sessions end and hand on their last minutes: time until every
  // minute file is zipped.
  auto unzipped = [&hub] {
    return countFiles(hub.work.file("archive"), ".ms") +
           countFiles(hub.work.file("archive2"), ".ms");
  };
  auto d0 = std::chrono::steady_clock::now();
  bool drained = waitFor(
      [&] {
        peakThreads = std::max(peakThreads, procFigures(hub.pid()).threads);
        return unzipped() == 0;
      },
      std::chrono::milliseconds(static_cast<long>(o.drainSeconds * 1000)));
  double drainS = std::chrono::duration<double>(std::chrono::steady_clock::now() - d0).count();
  watcher.stop();
  RunFigures f;
  std::vector<int64_t> sends;
  latencies(sendTimes, watcher.seen(), streamEnd, &f, &sends);
  double cpuPct = (b.cpuSeconds - a.cpuSeconds) / wall * 100.0;
  printf("real time: %d instruments, %.0f s measured after %.0f s warm-up; records stored %zu\n",
         o.realtimeCount, wall, o.warmupSeconds, watcher.count());
  printf("  hub CPU %.2f %% of one core in all = %.4f %% per instrument (hub alone: %.3f %%)\n",
         cpuPct, cpuPct / o.realtimeCount, idleCpuPct);
  printf(
      "  hub RSS %.1f MB (alone %.1f MB) = %.3f MB per instrument (increase over the hub alone),"
      " HWM %.1f MB\n",
      b.rssKb / 1024.0, idle1.rssKb / 1024.0, (b.rssKb - idle1.rssKb) / 1024.0 / o.realtimeCount,
      b.hwmKb / 1024.0);
  printf("  latency frame sent -> bytes in minute file: median %.0f ms, p99 %.0f ms\n",
         f.latencyMedianMs, f.latencyP99Ms);
  printf("  threads %d with the instruments (alone %d) = %.2f per instrument, most seen %d\n",
         b.threads, idle1.threads, static_cast<double>(b.threads - idle1.threads) / o.realtimeCount,
         peakThreads);
  const double zipsPerMin = static_cast<double>(zipsAfter - zipsBefore) * 60.0 / wall;
  printf(
      "  minute zips: %.0f per minute over the run (2 archives); after the instruments "
      "stopped, %s in %.1f s (%zu minute files left unzipped)\n",
      zipsPerMin, drained ? "all zipped" : "NOT all zipped", drainS, unzipped());
  printf(
      "  latency beyond the batch (from the station's last frame sent before the bytes were"
      " in the file): p99 %.0f ms\n",
      f.beyondBatchP99Ms);
  printf(
      "  targets: CPU <= %.1f %% per instrument: %s; RSS <= %.1f MB per instrument: %s; "
      "p99 beyond the batch <= %.0f ms: %s\n",
      TARGET_CPU_PCT, cpuPct / o.realtimeCount <= TARGET_CPU_PCT ? "met" : "NOT met", TARGET_RSS_MB,
      (b.rssKb - idle1.rssKb) / 1024.0 / o.realtimeCount <= TARGET_RSS_MB ? "met" : "NOT met",
      TARGET_LATENCY_EXTRA_MS,
      f.beyondBatchP99Ms >= 0 && f.beyondBatchP99Ms <= TARGET_LATENCY_EXTRA_MS ? "met" : "NOT met");
  printf("  (zip throughput against the %.0f per minute target: bench/zip_bench)\n",
         TARGET_ZIPS_PER_MIN);
  fflush(stdout);
}

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (opt == "--counts") {
      o->counts.clear();
      std::istringstream in(v);
      std::string item;
      while (std::getline(in, item, ',')) o->counts.push_back(atoi(item.c_str()));
    } else if (opt == "--records") {
      o->records = atol(v.c_str());
    } else if (opt == "--realtime-count") {
      o->realtimeCount = atoi(v.c_str());
    } else if (opt == "--realtime-seconds") {
      o->realtimeSeconds = atof(v.c_str());
    } else if (opt == "--warmup-seconds") {
      o->warmupSeconds = atof(v.c_str());
    } else if (opt == "--drain-seconds") {
      o->drainSeconds = atof(v.c_str());
    } else if (opt == "--hub") {
      hubProgram = v;
    } else {
      return false;
    }
  }
  return o->records > HUB_BATCH_MAX && o->realtimeCount > 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 4 && std::string(argv[1]) == "--sink") return runSink(atoi(argv[2]), argv[3]);
  Options o;
  hubProgram = builtProgram("vorlanhub");
  if (!parseOptions(argc, argv, &o)) {
    fprintf(stderr,
            "usage: hub_bench [--counts 1,10,50] [--records R (2000)] [--realtime-count N (50)]\n"
            "                 [--realtime-seconds S (120; 0 skips the run)] "
            "[--warmup-seconds S (15)]\n"
            "                 [--drain-seconds S (60)]\n"
            "                 [--hub PROGRAM (default: the hub of this build)]\n");
    return 2;
  }
  printf("hub: %s\n", hubProgram.c_str());
  printf("fast runs: 3 channels x 100 sps, %ld records per instrument, as fast as possible\n",
         o.records);
  for (int n : o.counts) {
    RunFigures hub, hubNoRing, sink;
    {
      HubTarget target;
      hub = fastRun(target, n, o.records);
    }
    printFast("hub", n, hub);
    {
      HubTarget target;
      target.extraProps = "ringenabled=0\n";
      hubNoRing = fastRun(target, n, o.records);
    }
    printFast("hub-noring", n, hubNoRing);
    {
      SinkTarget target;
      sink = fastRun(target, n, o.records);
    }
    printFast("sink", n, sink);
    const double ratio = sink.rate > 0 ? hub.rate / sink.rate : 0;
    const double ratioNoRing = sink.rate > 0 ? hubNoRing.rate / sink.rate : 0;
    printf(
        "     N=%-3d hub rate / sink rate = %.2f (target >= %.1f: %s); without the ring "
        "outlet %.2f\n",
        n, ratio, TARGET_RATE_RATIO, ratio >= TARGET_RATE_RATIO ? "met" : "NOT met", ratioNoRing);
    fflush(stdout);
  }
  if (o.realtimeSeconds > 0) realtimeRun(o);
  return 0;
}
