// Entry of the hub: command line, run modes, home and base directories, the
// version files, the hub properties, the data tree and the main wait loop.
//
// Stop: the main loop polls every STOP_POLL_SECONDS for the file "shutdown"
// in BASE_DIR. SIGTERM and SIGINT start the same orderly stop at once: they
// are blocked in every thread and taken by one signal thread (sigwait), which
// wakes the main loop. A session may ask for the same stop with an exit
// status (the Tidora companion watchdog: status 0). The orderly stop writes
// every cache (logs, and the per-station state of the components that hold
// it) before the process ends.
#ifndef VH_HUB_STARTUP_H_
#define VH_HUB_STARTUP_H_

#include <atomic>
#include <string>

class Log;

// True while the main wait loop is to continue. Written by the main thread
// (stopVorlanHub); read by the main loop.
extern std::atomic<bool> _run;
// Receives libmseed's own messages (log name "miniseed").
extern Log _miniseedLog;

constexpr int STOP_POLL_SECONDS = 10;
constexpr size_t SETTINGS_PATH_MAX = 169;

enum class CommandLineAction { kRun, kVersion, kHistory };

// Looks at each argument in turn: "-v"/"--version" and "--history" end the
// parse at once; "--tidora", "--pi" and "--winservice" set *mode (the last
// one wins; "--pi" and "--winservice" print their banner line); anything
// else is ignored.
CommandLineAction parseCommandLine(int argc, char** argv, int* mode);

// Fills HOMEDIR (from $HOME, else the password database, else ".") and
// LUMETRAFILES; returns HOMEDIR.
std::string getHomeDir();

// The whole program: returns 0 after "-v", "--version" or "--history", else
// runs the hub and returns the exit status of its stop (1, or what the
// session that asked for the stop gave).
int vorlanhubMain(int argc, char** argv);

// Start-up and the main wait loop; returns the exit status after the
// orderly stop.
int startVorlanHub();
// Any thread: starts the orderly stop as a stop signal does; the process
// then exits with exitStatus. Returns at once.
void requestOrderlyStop(int exitStatus);
// Logs "Closing VorlanHub" to the main log and ends the main wait loop.
void stopVorlanHub();

// libmseed's log sink: the message goes to _miniseedLog at once.
void logMiniseed(char* message);

#endif  // VH_HUB_STARTUP_H_
