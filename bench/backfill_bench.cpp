// Backfill figures of the whole hub (prints, asserts nothing):
//
//  1. One instrument: the simulator's card holds --minutes minutes of data
//     from before the hub knew it (dremosim --card --prefill), and the hub's
//     gap file for the station asks for all of them. The hub fetches them one
//     at a time over loopback while the instrument streams live data and
//     answers at link speed. Printed: minutes recovered, the time from the
//     first file request to the last minute stored, and the rate in minutes of
//     data recovered per hour of wall time.
//  2. --stations instruments at once (dremosim --count), each with
//     --station-minutes minutes to recover beside its live stream: the hub's
//     CPU (percent of one core) while they backfill, and for comparison while
//     the same instruments only stream live data afterwards.
//
// The hub runs with its defaults (zipping on) in its own temporary folder on
// a free port, except "fixgaps=0": the restart gap a new link records would
// be the newest backfill gap, and until it is due the older minutes wait
// behind it, a pause that is not transfer time. The figures come from the
// hub's log lines "REQUEST FILE", "backfill complete" and "FINISH" (sessions
// that ended, printed when there are any) and from /proc.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HubRun.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char REQUESTED[] = "REQUEST FILE     [/data/";
constexpr char COMPLETE[] = "backfill complete | /data/";
constexpr char ENDED[] = " FINISH\n";
constexpr char HUB_PROPS[] = "fixgaps=0\n";
constexpr uint32_t FIRST_ID = 0x01000001;  // the simulator's default id
constexpr int POLL_MS = 250;               // log polling while waiting
constexpr int STALL_S = 90;                // nothing new stored this long ends a run
constexpr int PREFILL_EXTRA_MIN = 5;       // card data before the oldest minute asked for
constexpr int LIVE_MEASURE_S = 30;         // live-only CPU window of run 2
constexpr int GAP_END_MINUTES_AGO = 2;     // the newest minute asked for ends this early
constexpr char DLBACK_ACTION[] = "6";      // DLBACK in a gap-file line

double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields after the name start at state (3); utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A gap file asking for the minutes minutes that end GAP_END_MINUTES_AGO
// minutes before now, due at once.
void seedGap(const HubRun& hub, const std::string& label, int minutes) {
  const time_t now = time(nullptr) / 60 * 60;
  const time_t start = now - 60L * (minutes + GAP_END_MINUTES_AGO);
  const time_t end = start + 60L * minutes - 1;
  writeText(hub.dir() + "/time/" + label + ".gaps",
            std::to_string(now - 300) + " " + std::to_string(start) + " " + std::to_string(end) +
                " " + DLBACK_ACTION + "\n");
}

std::string label(const std::string& station, uint32_t id) {
  char text[32];
  snprintf(text, sizeof text, "%s.%08x", station.c_str(), id);
  return text;
}

struct Progress {
  size_t requested = 0, complete = 0, ended = 0;
};

Progress progress(const HubRun& hub) {
  const std::string logs = hub.allLogs();
  return {countOf(logs, REQUESTED), countOf(logs, COMPLETE), countOf(logs, ENDED)};
}

// Waits until want minutes are stored or nothing new is stored for STALL_S.
// Returns the seconds from the first request to the last stored minute.
double waitForBackfill(const HubRun& hub, size_t want, Progress* last) {
  Clock::time_point firstRequest{}, lastComplete{}, lastChange = Clock::now();
  bool requested = false;
  for (;;) {
    Progress p = progress(hub);
    if (!requested && p.requested > 0) {
      requested = true;
      firstRequest = Clock::now();
    }
    if (p.complete != last->complete) {
      lastComplete = lastChange = Clock::now();
    }
    *last = p;
    if (p.complete >= want || secondsSince(lastChange) > STALL_S) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
  }
  if (!requested || last->complete == 0) return 0;
  return std::chrono::duration<double>(lastComplete - firstRequest).count();
}

void oneInstrument(int minutes) {
  HubRun hub(HUB_PROPS);
  mkdirs(hub.dir() + "/time/", true);
  seedGap(hub, label("SIM", FIRST_ID), minutes);
  if (!hub.start()) {
    fprintf(stderr, "hub did not start\n");
    return;
  }
  auto sim =
      hub.simulator({"--card", hub.dir() + "/card", "--prefill",
                     std::to_string(60 * (minutes + PREFILL_EXTRA_MIN)), "--reconnect", "5"});
  sim->start();
  Progress p;
  const double seconds = waitForBackfill(hub, static_cast<size_t>(minutes), &p);
  printf(
      "one instrument: %zu of %d minutes recovered (%zu requests) in %.1f s: "
      "%.0f minutes per hour%s\n",
      p.complete, minutes, p.requested, seconds,
      seconds > 0 ? static_cast<double>(p.complete) * 3600.0 / seconds : 0.0,
      p.complete >= static_cast<size_t>(minutes) ? "" : " (INCOMPLETE)");
  if (p.ended > 0) printf("  sessions ended meanwhile: %zu\n", p.ended);
  fflush(stdout);
  sim->signal(SIGTERM);
  sim->wait(std::chrono::seconds(30));
  hub.stopByShutdownFile(std::chrono::seconds(60));
}

void manyInstruments(int stations, int minutes) {
  HubRun hub(HUB_PROPS);
  mkdirs(hub.dir() + "/time/", true);
  for (int i = 0; i < stations; ++i) {
    char station[16];
    snprintf(station, sizeof station, i == 0 ? "SIM" : "SIM%02d", i);
    seedGap(hub, label(station, FIRST_ID + static_cast<uint32_t>(i)), minutes);
  }
  if (!hub.start()) {
    fprintf(stderr, "hub did not start\n");
    return;
  }
  auto sim = hub.simulator({"--count", std::to_string(stations), "--card", hub.dir() + "/card",
                            "--prefill", std::to_string(60 * (minutes + PREFILL_EXTRA_MIN)),
                            "--reconnect", "5"});
  sim->start();
  const pid_t pid = hub.process().pid();
  // CPU from the first request to the last stored minute.
  Progress p;
  while (p.requested == 0 && sim->running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    p = progress(hub);
  }
  const double cpu0 = cpuSeconds(pid);
  const Clock::time_point t0 = Clock::now();
  const size_t want = static_cast<size_t>(stations) * static_cast<size_t>(minutes);
  const double seconds = waitForBackfill(hub, want, &p);
  const double cpu1 = cpuSeconds(pid);
  const double wall = secondsSince(t0);
  printf(
      "%d instruments: %zu of %zu minutes recovered in %.1f s (%.0f minutes per hour in all); "
      "hub CPU while backfilling %.1f %% of one core%s\n",
      stations, p.complete, want, seconds,
      seconds > 0 ? static_cast<double>(p.complete) * 3600.0 / seconds : 0.0,
      wall > 0 ? (cpu1 - cpu0) / wall * 100.0 : 0.0, p.complete >= want ? "" : " (INCOMPLETE)");
  if (p.ended > 0) printf("  sessions ended meanwhile: %zu\n", p.ended);
  std::this_thread::sleep_for(std::chrono::seconds(LIVE_MEASURE_S));
  const double cpu2 = cpuSeconds(pid);
  const Clock::time_point t2 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(LIVE_MEASURE_S));
  printf("%d instruments, live data only: hub CPU %.1f %% of one core\n", stations,
         (cpuSeconds(pid) - cpu2) / secondsSince(t2) * 100.0);
  fflush(stdout);
  sim->signal(SIGTERM);
  sim->wait(std::chrono::seconds(30));
  hub.stopByShutdownFile(std::chrono::seconds(60));
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  int minutes = 60, stations = 20, stationMinutes = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const int value = atoi(argv[i + 1]);
    if (opt == "--minutes") {
      minutes = value;
    } else if (opt == "--stations") {
      stations = value;
    } else if (opt == "--station-minutes") {
      stationMinutes = value;
    } else {
      minutes = 0;
    }
  }
  if (argc % 2 == 0 || minutes < 1 || stations < 1 || stationMinutes < 1) {
    fprintf(stderr,
            "usage: backfill_bench [--minutes M (60)] [--stations N (20)] "
            "[--station-minutes M (30)]\n");
    return 2;
  }
  oneInstrument(minutes);
  manyInstruments(stations, stationMinutes);
  return 0;
}
