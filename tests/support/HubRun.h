// One hub started from the built binary in a temporary working folder, on
// loopback with a port chosen free at run time, and the simulated
// instruments that talk to it. Every wait is bounded.
#ifndef VH_TESTS_SUPPORT_HUBRUN_H_
#define VH_TESTS_SUPPORT_HUBRUN_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

class HubRun {
 public:
  // extraProps: more property lines ("key=value\n...") after serialenabled=0
  // and the port; the ring server outlet is off unless they switch it on.
  explicit HubRun(const std::string& extraProps = "");
  ~HubRun();  // SIGKILL when still running

  // Starts the hub and waits until its configuration lines are logged and
  // its port listens.
  bool start();
  // Creates the shutdown file and waits (bounded) for the exit. True when the
  // hub ended with status 1.
  bool stopByShutdownFile(std::chrono::seconds bound = std::chrono::seconds(15));
  bool stopBySignal(int sig, std::chrono::seconds bound = std::chrono::seconds(30));
  bool running() { return hub_ && hub_->running(); }

  // A simulator connected to this hub's port ("--port N" is added); not started.
  std::unique_ptr<ChildProcess> simulator(std::vector<std::string> args);

  // Everything in every log file of the hub, and one log by name.
  std::string allLogs() const;
  std::string log(const std::string& name) const;
  // Waits until some log holds text.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;

  const std::string& dir() const { return work_.path(); }
  int port() const { return port_; }
  ChildProcess& process() { return *hub_; }

 private:
  TempDir work_;
  TempDir home_;
  int port_;
  std::unique_ptr<ChildProcess> hub_;
};

// The numbers of a simulator's "summary STA ..." line for one station (or
// "total"); empty when there is no such line.
struct SimSummary {
  bool found = false;
  long frames = 0, acks = 0, nacks = 0, commands = 0, requests = 0, resent = 0, bad = 0,
       records = 0;
};
SimSummary simSummary(const std::string& output, const std::string& station);

// True when a TCP port is bound by some program (a plain bind fails).
bool portInUse(int port);

// How often text occurs in haystack.
size_t countOf(const std::string& haystack, const std::string& text);

#endif  // VH_TESTS_SUPPORT_HUBRUN_H_
