// Figures of the minute zipping in one process (prints, asserts nothing):
//
//  1. Sustained: --rate finished minutes per minute (default 400: 200
//     stations with two archives) are handed to the zip workers at an even
//     pace for --seconds, each a minute file of real records (--minute-kb),
//     its settings copy, the StationXML made from them by the hub's own
//     converter. Printed: minutes zipped per minute, the most minutes ever
//     waiting, the minutes still waiting when the handing-on stops and the
//     time until the last is zipped, the threads of the process.
//  2. Meanwhile a session's use of the zip lock: every --probe-ms a thread
//     takes the zip mutex (as a link does to reopen a zipped minute) and
//     reads an entry of a placed zip; the longest and the 99th percentile
//     wait for the lock, and the longest whole reading.
//
// Each figure is printed beside its target; the zip target counts as met
// when the minutes came at the target rate and the workers kept pace. The pause between jobs is the
// hub's own (MinuteZip::ZIP_JOB_PAUSE_US) unless --pause-us is given; the
// worker count is the hub's default (the number of cores) unless --workers.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/MinuteZip.h"
#include "metadata/StationXml.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "waveform/Zipper.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double TARGET_ZIPS_PER_MIN = 400;
constexpr double TARGET_LOCK_WAIT_MS = 1000;
constexpr int SETTINGS_KEYS = 60;  // lines of the settings copy
constexpr int STATIONS = 200;      // stations the minutes are spread over
// The pool kept pace: the minutes came at (nearly) the target rate and
// those still waiting when they stopped coming were zipped within this
// (a pool that falls behind leaves a backlog that grows with the run).
constexpr double KEPT_PACE_SHARE = 0.98;
constexpr double KEPT_PACE_DRAIN_S = 5.0;

struct Options {
  double rate = TARGET_ZIPS_PER_MIN;  // minutes handed on per minute
  double seconds = 60;
  int minuteKb = 18;  // about a minute of 3 channels at 100 sps (steim2)
  int workers = 0;
  long pauseUs = MinuteZip::ZIP_JOB_PAUSE_US;
  int probeMs = 50;
};

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const char* v = argv[i + 1];
    if (opt == "--rate") {
      o->rate = atof(v);
    } else if (opt == "--seconds") {
      o->seconds = atof(v);
    } else if (opt == "--minute-kb") {
      o->minuteKb = atoi(v);
    } else if (opt == "--workers") {
      o->workers = atoi(v);
    } else if (opt == "--pause-us") {
      o->pauseUs = atol(v);
    } else if (opt == "--probe-ms") {
      o->probeMs = atoi(v);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o->rate > 0 && o->seconds > 0 && o->minuteKb > 0 && o->probeMs > 0;
}

int threadsOfProcess() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 8, "Threads:") == 0) return atoi(line.c_str() + 8);
  }
  return 0;
}

std::string settingsText(int station) {
  std::string text = sformat("\"sitename\"=\"S%03d\"\n\"serial\"=\"%08x\"\n", station, station);
  for (int k = 0; k < SETTINGS_KEYS; ++k) text += sformat("\"key%02d\"=\"%d\"\n", k, k * station);
  return text;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * p))];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parseOptions(argc, argv, &o)) {
    fprintf(stderr,
            "usage: zip_bench [--rate MINUTES_PER_MINUTE (400)] [--seconds S (60)]\n"
            "                 [--minute-kb KB (18)] [--workers N (0: cores)]\n"
            "                 [--pause-us US (the hub's)] [--probe-ms MS (50)]\n");
    return 2;
  }
  TempDir dir;
  ScopedBaseDir base(dir.path());
  LUMETRAFILES = dir.path() + "lumetra";
  MinuteZip::setWorkers(o.workers);
  MinuteZip::TEST_setJobPause(o.pauseUs);

  // One minute's records, cut from real records to the size asked.
  std::string records;
  const std::string real = readText(testData("GT.BOSA.00.BHx.3comp.steim2.mseed"));
  while (records.size() < static_cast<size_t>(o.minuteKb) * 1024) records += real;
  records.resize(static_cast<size_t>(o.minuteKb) * 1024 / 512 * 512);
  ChannelNames names = {"BHE", "BHN", "BHZ", "BHO", "", "", "SUM"};

  // The zip the session probe reads, placed once before the run.
  const std::string probeMinute = dir.file("probe/20230406_1200_PROBE.ms");
  mkdirs(probeMinute, false);
  writeText(probeMinute, records);
  Zipper::compressFile(probeMinute + ".zip", probeMinute);
  removeFile(probeMinute);

  std::atomic<bool> stop{false};
  std::vector<double> lockWaitMs, readMs;
  std::thread probe([&] {
    while (!stop.load()) {
      const Clock::time_point t0 = Clock::now();
      Zipper::lockMutex();
      const Clock::time_point t1 = Clock::now();
      Zipper::unlockMutex();
      std::vector<uint8_t> data;
      Zipper::extractFile(probeMinute + ".zip", "20230406_1200_PROBE.ms", &data);
      const Clock::time_point t2 = Clock::now();
      lockWaitMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      readMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(o.probeMs));
    }
  });

  const int total = static_cast<int>(o.rate * o.seconds / 60.0);
  const auto interval = std::chrono::duration<double>(60.0 / o.rate);
  int mostWaiting = 0, mostThreads = 0;
  const Clock::time_point start = Clock::now();
  for (int n = 0; n < total; ++n) {
    std::this_thread::sleep_until(start +
                                  std::chrono::duration_cast<Clock::duration>(interval * n));
    const int station = n % STATIONS;
    const std::string stationId = sformat("S%03d.%08x", station, station);
    const std::string path = dir.file(sformat("archive/S%03d/%06d_S%03d.ms", station, n, station));
    mkdirs(path, false);
    writeText(path, records);
    auto order = std::make_unique<MinuteZipOrder>();
    order->minutePath = path;
    order->stationId = stationId;
    order->id = static_cast<uint32_t>(station);
    order->settings = settingsText(station);
    order->makeStationXml = [names](const std::string& settings, const std::string& destination) {
      return StationXml::copyConvert(settings, destination, names) == 1;
    };
    if (!MinuteZip::start(std::move(order), nullptr))
      fprintf(stderr, "not queued: %s\n", path.c_str());
    mostWaiting = std::max(mostWaiting, MinuteZip::running());
    mostThreads = std::max(mostThreads, threadsOfProcess());
  }
  const double handOn = std::chrono::duration<double>(Clock::now() - start).count();
  const int waitingAtEnd = MinuteZip::running();
  // Drained at the workers' own pace (waitAll would skip their pauses).
  while (MinuteZip::running() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double all = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  probe.join();

  const double zipsPerMin = total * 60.0 / all;
  const double lockMax =
      lockWaitMs.empty() ? 0 : *std::max_element(lockWaitMs.begin(), lockWaitMs.end());
  printf("zip workers %d, pause %ld us between jobs, minute files of %d KB\n", MinuteZip::workers(),
         o.pauseUs, o.minuteKb);
  printf(
      "handed on %d minutes in %.1f s (%.0f per minute); all zipped after %.1f s: %.0f per "
      "minute\n",
      total, handOn, total * 60.0 / handOn, all, zipsPerMin);
  printf("minutes waiting: at most %d, %d when the handing-on stopped (%.1f s to zip them)\n",
         mostWaiting, waitingAtEnd, all - handOn);
  printf("threads of the process: at most %d\n", mostThreads);
  printf(
      "session on the zip lock (%zu probes): wait p99 %.2f ms, longest %.2f ms; reading a "
      "placed zip longest %.2f ms\n",
      lockWaitMs.size(), percentile(lockWaitMs, 0.99), lockMax,
      readMs.empty() ? 0 : *std::max_element(readMs.begin(), readMs.end()));
  printf("targets: %.0f zips per minute sustained: %s; lock wait <= %.0f ms: %s\n",
         TARGET_ZIPS_PER_MIN,
         total * 60.0 / handOn >= TARGET_ZIPS_PER_MIN * KEPT_PACE_SHARE &&
                 all - handOn <= KEPT_PACE_DRAIN_S
             ? "met"
             : "NOT met",
         TARGET_LOCK_WAIT_MS, lockMax <= TARGET_LOCK_WAIT_MS ? "met" : "NOT met");
  return 0;
}
