// Runs the simulated instruments of one dremosim process.
//
// The main thread (run) starts one Instrument thread per configuration, then
// polls every CONTROL_POLL_MS: stop signals (SIGINT, SIGTERM, taken with
// sigtimedwait; run() blocks them and SIGPIPE in every thread it starts),
// the control file, the script, the duration, and instruments that ended on
// their own. At the end it asks every instrument to stop, joins every thread
// and prints the summary lines.
#ifndef VH_TOOLS_DREMOSIM_SIMULATOR_H_
#define VH_TOOLS_DREMOSIM_SIMULATOR_H_

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Instrument.h"
#include "SendTimes.h"
#include "SimOptions.h"

constexpr int CONTROL_POLL_MS = 100;  // period of the main thread's checks

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  ~Simulator();  // stops and joins any instrument still running

  // Runs until the duration passes, a stop signal or "quit" arrives, or every
  // instrument has ended. Call from the main thread before any other thread
  // exists. Writes "pty" and summary lines to out. Returns the process exit
  // status: 0, or 1 when the instruments could not start.
  int run(FILE* out);

 private:
  void dispatch(const ControlCommand& command, bool* quit);
  void printSummary(FILE* out) const;

  SimOptions options_;
  SendTimes sendTimes_;  // opened when --send-times is given; outlives the instruments
  std::vector<std::unique_ptr<Instrument>> instruments_;
};

#endif  // VH_TOOLS_DREMOSIM_SIMULATOR_H_
