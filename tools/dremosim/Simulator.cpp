#include "Simulator.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "util/Text.h"

namespace {

constexpr long NS_PER_MS = 1000000;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Simulator::Simulator(SimOptions options) : options_(std::move(options)) {}

Simulator::~Simulator() {
  for (auto& i : instruments_) i->requestStop();
  for (auto& i : instruments_) i->join();
}

void Simulator::dispatch(const ControlCommand& command, bool* quit) {
  if (command.kind == ControlCommand::QUIT) {
    *quit = true;
    return;
  }
  bool delivered = false;
  for (auto& i : instruments_) {
    if (!command.target.empty() && command.target != i->config().station) continue;
    i->post(command);
    delivered = true;
  }
  if (!delivered) fprintf(stderr, "no instrument with station %s\n", command.target.c_str());
}

int Simulator::run(FILE* out) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // inherited by every instrument thread

  std::vector<InstrumentConfig> configs;
  std::string error;
  if (!instrumentConfigs(options_, &configs, &error)) {
    fprintf(stderr, "dremosim: %s\n", error.c_str());
    return 1;
  }
  ControlFile control(options_.controlPath);
  if (!options_.controlPath.empty() && !control.open(&error)) {
    fprintf(stderr, "dremosim: %s\n", error.c_str());
    return 1;
  }
  if (!options_.sendTimesPath.empty()) {
    if (!sendTimes_.open(options_.sendTimesPath, &error)) {
      fprintf(stderr, "dremosim: %s\n", error.c_str());
      return 1;
    }
    for (InstrumentConfig& c : configs) c.sendTimes = &sendTimes_;
  }
  warmUpPacker();
  for (const InstrumentConfig& c : configs) {
    auto instrument = std::make_unique<Instrument>(c);
    if (!instrument->start(&error)) {
      fprintf(stderr, "dremosim: station %s: %s\n", c.station.c_str(), error.c_str());
      return 1;
    }
    if (c.usePty) {
      fprintf(out, "pty %s %s\n", c.station.c_str(), instrument->ptyPath().c_str());
      fflush(out);
    }
    instruments_.push_back(std::move(instrument));
  }

  auto start = std::chrono::steady_clock::now();
  std::vector<bool> fired(options_.script.size(), false);
  timespec poll{0, CONTROL_POLL_MS * NS_PER_MS};
  bool quit = false;
  while (!quit) {
    int sig = sigtimedwait(&signals, nullptr, &poll);
    if (sig == SIGINT || sig == SIGTERM) {
      fprintf(stderr, "dremosim: signal %d, ending\n", sig);
      break;
    }
    double elapsed = secondsSince(start);
    if (options_.durationSeconds > 0 && elapsed >= options_.durationSeconds) break;
    for (size_t k = 0; k < options_.script.size(); ++k) {
      if (!fired[k] && elapsed >= options_.script[k].atSeconds) {
        fired[k] = true;
        dispatch(options_.script[k].command, &quit);
      }
    }
    if (!options_.controlPath.empty()) {
      for (const std::string& line : control.poll()) {
        ControlCommand command;
        if (parseControlLine(line, &command, &error)) {
          dispatch(command, &quit);
        } else if (!error.empty()) {
          fprintf(stderr, "dremosim: control file: %s\n", error.c_str());
        }
      }
    }
    bool anyRunning = false;
    for (auto& i : instruments_) anyRunning = anyRunning || !i->finished();
    if (!anyRunning) break;
  }
  for (auto& i : instruments_) i->requestStop();
  for (auto& i : instruments_) i->join();
  sendTimes_.close();
  printSummary(out);
  return 0;
}

void Simulator::printSummary(FILE* out) const {
  unsigned long long frames = 0, acks = 0, nacks = 0, commands = 0, requests = 0, resent = 0,
                     bad = 0, records = 0;
  for (const auto& i : instruments_) {
    fprintf(out, "%s\n", i->summaryLine().c_str());
    frames += i->framesSent();
    acks += i->acks();
    nacks += i->nacks();
    commands += i->commands();
    requests += i->requests();
    resent += i->resent();
    bad += i->badFrames();
    records += i->recordsMade();
  }
  fprintf(out,
          "summary total instruments=%zu frames=%llu acks=%llu nacks=%llu commands=%llu "
          "requests=%llu resent=%llu bad=%llu records=%llu\n",
          instruments_.size(), frames, acks, nacks, commands, requests, resent, bad, records);
  fflush(out);
}
