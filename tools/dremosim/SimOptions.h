// The command line of dremosim: options, their checks, and the help text.
#ifndef VH_TOOLS_DREMOSIM_SIMOPTIONS_H_
#define VH_TOOLS_DREMOSIM_SIMOPTIONS_H_

#include <string>
#include <vector>

#include "Control.h"
#include "Instrument.h"

constexpr int MAX_INSTRUMENTS = 999;    // --count at most
constexpr int MAX_SAMPLE_RATE = 1000;   // Hz
constexpr double MAX_SPEED = 10000.0;   // --speed at most
constexpr size_t STATION_CODE_MAX = 5;  // characters of a station code
constexpr size_t NETWORK_CODE_MAX = 2;
constexpr size_t LOCATION_CODE_MAX = 2;
constexpr size_t CHANNEL_CODE_LEN = 3;
constexpr size_t MAX_CHANNELS = 4;

struct SimOptions {
  InstrumentConfig base;  // the first instrument; the others differ in id and station
  int count = 1;
  std::string stationPrefix;   // empty: STA, STA01, STA02, ...
  bool stationGiven = false;   // --station was given (else the default stem may be cut)
  double durationSeconds = 0;  // 0: until a signal or "quit"
  std::string controlPath;
  std::string sendTimesPath;  // --send-times: empty = none
  std::vector<ScriptEntry> script;
};

enum class ParseResult { RUN, HELP, FAILED };

// Parses the arguments after the program name. FAILED leaves the reason in error.
ParseResult parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                            std::string* error);

// The configurations of all instruments: ids id, id+1, ...; stations as
// described by --help. False with the reason in error (an id past
// STATION_ID_MAX, a station code too long).
bool instrumentConfigs(const SimOptions& options, std::vector<InstrumentConfig>* configs,
                       std::string* error);

// The --help text.
const char* simHelpText();

#endif  // VH_TOOLS_DREMOSIM_SIMOPTIONS_H_
