#include "SimOptions.h"

#include <cerrno>
#include <cstdlib>

#include "util/Text.h"

namespace {

constexpr char HELP_TEXT[] =
    R"(dremosim: simulated Dremo instruments for testing a VorlanHub set-up without hardware.

Each simulated instrument speaks the instrument side of the Selvoma protocol:
it answers the hub's IDENTIFY and LINK_INIT, streams miniSEED records (Steim2,
512 bytes) of a synthetic seismogram (noise plus a decaying sine "event" now
and then), keeps unacknowledged data for re-sending, answers setting queries,
file requests and requests by time from its settings and its card, takes
uploads (stored on its card, answered "rx status: 0") and flash blocks
(answered "flash_write"), and sends triggers, text commands, file requests and
faults on request.

Usage: dremosim [options]

Link (one of):
  --host HOST            hub address to connect to (default 127.0.0.1)
  --port PORT            hub TCP port; required unless --pty
  --pty                  serve the instrument end of a serial line: create a
                         pseudo-terminal (raw, 115200 8N1) and print
                         "pty STA PATH"; point the hub's serial port at PATH
  --reconnect SECONDS    pause before reconnecting after the link ended
                         (default 5; 0: the instrument ends with its link)
  --no-identify          do not answer IDENTIFY: stream data at once

Instrument:
  --id HEX               station id, 01000000 to 03FFFFFF (default 01000001)
  --station STA          station code, 1 to 5 characters (default SIM)
  --network NN           network code, 1 or 2 characters (default XX)
  --location LL          location code, 0 to 2 characters (default 00)
  --channels LIST        comma list of 1 to 4 channel codes (default HHZ,HHN,HHE)
  --rate HZ              samples per second, 1 to 1000 (default 100)
  --build N              build number in the settings (default 4700; 4558 or
                         lower makes the hub acknowledge every data frame);
                         overrides the settings file
  --settings FILE        settings file (lines "key"="value") over the built-in
                         default; station, network, location, rate and
                         channels always follow the options above

Data:
  --speed FACTOR         data seconds per wall second (default 1: real time)
  --as-fast-as-possible  send records as fast as the link takes them
  --records N            stream N records per instrument, then only answer
  --backlog SECONDS      data starts this long before now (default 0)
  --card DIR             the instrument's memory card: every record made is
                         also written to minute files
                         DIR/data/YYYY/MM/DD/HH/YYYY-MM-DD HHMM 00 STA.ms,
                         plus DIR/settings.ss and DIR/histogram/YYYY-MM-DD.csv
                         (with --count above 1: DIR/STA/... per instrument)
  --prefill SECONDS      record this much data before the backlog on the card
                         only (needs --card), for backfill tests

Many instruments:
  --count N              run N instruments (1 to 999), each in its own thread,
                         with ids ID, ID+1, ... and stations STA, STA01, STA02, ...
                         (above 100 three digits: STA001, ...; the default SIM
                         becomes SI001, ... to stay within 5 characters)
  --station-prefix P     name the stations P01, P02, ... instead

Control:
  --control FILE         poll FILE every 100 ms for appended command lines
                         (lines already in it at start are skipped)
  --script "S:CMD;..."   run commands at given seconds after start,
                         e.g. "5:trigger 2;12:badcheck;30:quit"
  Commands (prefix "@STA " to address one instrument, else all):
    trigger N            send a TRIGGER frame with alarm type N (0..255)
    command TEXT         send a COMMAND frame with TEXT, e.g.
                           command Settings changed
                           command shutdown
                           command station_name ABCDE
                           command level trigger info 1 0.0050 m/s
    garbage N            send N random bytes (never the sync byte 0x55)
    badcheck             send the next frame with a wrong check word
    foreign [HEXID]      send one frame from station id HEXID (default 04000000)
    disconnect           drop the link abruptly (TCP reset); on a pty, drop the
                         session and wait for the next IDENTIFY
    silence N            neither send nor answer for N seconds
    nack N               send a NACK frame with sequence number N (0..255), no
                         payload: the hub numbers its next frame N
    frame TT             send one frame of message type TT (two hexadecimal
                         digits, e.g. "frame 90"), no payload, with the next
                         data sequence number
    request TEXT         send a REQUEST_FILE frame asking the hub for TEXT, e.g.
                           request sites
                           request SIM.ss
                           request SRC=ABCD,/data/2023/file.ms
    quit                 end the simulator in order

Run:
  --duration SECONDS     end in order after this long (default: run until
                         SIGINT, SIGTERM or "quit")
  --verbose              log every frame sent and received to stderr
  --send-times FILE      write one line "STA CHA START_US SENT_US" per data
                         record when its frame first leaves for the link
                         (record start and send time in microseconds since
                         1970), for latency benchmarks
  --help                 this text

Output: "pty STA PATH" lines (with --pty) and, at the end, one line per
instrument and a total, on standard output:
  summary STA id=01000001 frames=N acks=N nacks=N commands=N requests=N resent=N bad=N records=N
  summary total instruments=N frames=N acks=N nacks=N commands=N requests=N resent=N bad=N records=N
(frames: frames sent; acks, nacks, commands, requests: ACK, NACK, COMMAND and
file-request frames received; resent: data frames sent again; bad: frames
received with a bad check word; records: records made for streaming).
Progress and --verbose lines go to standard error.

Examples:
  # one instrument streaming in real time into a hub on port 5001
  dremosim --port 5001 --station ABCD --id 01000abc
  # a serial instrument: give the printed path to the hub
  dremosim --pty --station SER1
  # twenty instruments for a minute, ten times faster than real time
  dremosim --port 5001 --count 20 --speed 10 --duration 60
  # a card with an hour of old data the hub can backfill from
  dremosim --port 5001 --card /tmp/card --prefill 3600
  # a trigger after 5 s and a bad check word after 12 s
  dremosim --port 5001 --script "5:trigger 2;12:badcheck"
  # commands at run time
  dremosim --port 5001 --control /tmp/sim.ctl &
  echo "command Settings changed" >> /tmp/sim.ctl
)";

bool toLong(const std::string& text, int base, long low, long high, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

bool toDouble(const std::string& text, double low, double high, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= low && v <= high)) return false;
  *out = v;
  return true;
}

// Upper-case letters and digits only, length in [low, high].
bool isCode(const std::string& text, size_t low, size_t high) {
  if (text.size() < low || text.size() > high) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::vector<std::string> splitComma(const std::string& text) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    size_t comma = text.find(',', at);
    parts.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return parts;
}

}  // namespace

const char* simHelpText() { return HELP_TEXT; }

ParseResult parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                            std::string* error) {
  InstrumentConfig& c = options->base;
  c.stationId = STATION_ID_MIN + 1;
  bool havePort = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = opt + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    long n = 0;
    if (opt == "--help" || opt == "-h") return ParseResult::HELP;
    if (opt == "--pty") {
      c.usePty = true;
    } else if (opt == "--no-identify") {
      c.identify = false;
    } else if (opt == "--as-fast-as-possible") {
      c.asFastAsPossible = true;
    } else if (opt == "--verbose") {
      c.verbose = true;
    } else if (opt == "--host") {
      if (!value(&c.host)) return ParseResult::FAILED;
    } else if (opt == "--port") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 1, UINT16_MAX, &n)) {
        *error = "--port needs a port 1..65535: " + v;
        return ParseResult::FAILED;
      }
      c.port = static_cast<uint16_t>(n);
      havePort = true;
    } else if (opt == "--reconnect") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 0, SILENCE_MAX_S, &n)) {
        *error = "--reconnect needs seconds: " + v;
        return ParseResult::FAILED;
      }
      c.reconnectSeconds = static_cast<int>(n);
    } else if (opt == "--id") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 16, STATION_ID_MIN, STATION_ID_MAX, &n)) {
        *error = sformat("--id needs a hexadecimal station id %08X..%08X: %s", STATION_ID_MIN,
                         STATION_ID_MAX, v.c_str());
        return ParseResult::FAILED;
      }
      c.stationId = static_cast<uint32_t>(n);
    } else if (opt == "--station") {
      if (!value(&c.station)) return ParseResult::FAILED;
      options->stationGiven = true;
      if (!isCode(c.station, 1, STATION_CODE_MAX)) {
        *error = "--station needs 1 to 5 capital letters or digits: " + c.station;
        return ParseResult::FAILED;
      }
    } else if (opt == "--station-prefix") {
      if (!value(&options->stationPrefix)) return ParseResult::FAILED;
      if (!isCode(options->stationPrefix, 1, STATION_CODE_MAX - 2)) {
        *error =
            "--station-prefix needs 1 to 3 capital letters or digits: " + options->stationPrefix;
        return ParseResult::FAILED;
      }
    } else if (opt == "--network") {
      if (!value(&c.network)) return ParseResult::FAILED;
      if (!isCode(c.network, 1, NETWORK_CODE_MAX)) {
        *error = "--network needs 1 or 2 capital letters or digits: " + c.network;
        return ParseResult::FAILED;
      }
    } else if (opt == "--location") {
      if (!value(&c.location)) return ParseResult::FAILED;
      if (!isCode(c.location, 0, LOCATION_CODE_MAX)) {
        *error = "--location needs 0 to 2 capital letters or digits: " + c.location;
        return ParseResult::FAILED;
      }
    } else if (opt == "--channels") {
      if (!value(&v)) return ParseResult::FAILED;
      c.channels = splitComma(v);
      if (c.channels.size() > MAX_CHANNELS) {
        *error = "--channels takes at most 4 channels: " + v;
        return ParseResult::FAILED;
      }
      for (const std::string& ch : c.channels) {
        if (!isCode(ch, CHANNEL_CODE_LEN, CHANNEL_CODE_LEN)) {
          *error = "--channels needs codes of 3 capital letters or digits: " + v;
          return ParseResult::FAILED;
        }
      }
    } else if (opt == "--rate") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 1, MAX_SAMPLE_RATE, &n)) {
        *error = "--rate needs 1..1000 samples per second: " + v;
        return ParseResult::FAILED;
      }
      c.sampleRate = static_cast<int>(n);
    } else if (opt == "--build") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 0, INT32_MAX, &n)) {
        *error = "--build needs a number: " + v;
        return ParseResult::FAILED;
      }
      c.buildNumber = static_cast<int>(n);
      c.buildGiven = true;
    } else if (opt == "--settings") {
      if (!value(&c.settingsPath)) return ParseResult::FAILED;
    } else if (opt == "--speed") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toDouble(v, 1e-3, MAX_SPEED, &c.speed)) {
        *error = "--speed needs a factor above 0 and at most 10000: " + v;
        return ParseResult::FAILED;
      }
    } else if (opt == "--records") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 1, INT32_MAX, &c.records)) {
        *error = "--records needs a positive count: " + v;
        return ParseResult::FAILED;
      }
    } else if (opt == "--backlog" || opt == "--prefill" || opt == "--duration") {
      if (!value(&v)) return ParseResult::FAILED;
      double* target = opt == "--backlog"   ? &c.backlogSeconds
                       : opt == "--prefill" ? &c.prefillSeconds
                                            : &options->durationSeconds;
      if (!toDouble(v, 0, 1e9, target)) {
        *error = opt + " needs seconds: " + v;
        return ParseResult::FAILED;
      }
    } else if (opt == "--card") {
      if (!value(&c.cardDir)) return ParseResult::FAILED;
    } else if (opt == "--send-times") {
      if (!value(&options->sendTimesPath)) return ParseResult::FAILED;
    } else if (opt == "--count") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!toLong(v, 10, 1, MAX_INSTRUMENTS, &n)) {
        *error = "--count needs 1..999: " + v;
        return ParseResult::FAILED;
      }
      options->count = static_cast<int>(n);
    } else if (opt == "--control") {
      if (!value(&options->controlPath)) return ParseResult::FAILED;
    } else if (opt == "--script") {
      if (!value(&v)) return ParseResult::FAILED;
      if (!parseScript(v, &options->script, error)) return ParseResult::FAILED;
    } else {
      *error = "unknown option " + opt + " (see --help)";
      return ParseResult::FAILED;
    }
  }
  if (!c.usePty && !havePort) {
    *error = "give --port PORT (or --pty); see --help";
    return ParseResult::FAILED;
  }
  if (c.prefillSeconds > 0 && c.cardDir.empty()) {
    *error = "--prefill needs --card";
    return ParseResult::FAILED;
  }
  return ParseResult::RUN;
}

bool instrumentConfigs(const SimOptions& options, std::vector<InstrumentConfig>* configs,
                       std::string* error) {
  const InstrumentConfig& base = options.base;
  if (static_cast<uint64_t>(base.stationId) + static_cast<uint64_t>(options.count) - 1 >
      STATION_ID_MAX) {
    *error = sformat("--id %08x with --count %d passes the last station id %08X", base.stationId,
                     options.count, STATION_ID_MAX);
    return false;
  }
  const int digits = options.count > 100 ? 3 : 2;
  // The default stem gives way to the digits (SI001 and on above 100
  // instruments), so that every count has valid names; a stem the user chose
  // is kept and a name too long for it is an error.
  std::string stem = base.station;
  if (!options.stationGiven && stem.size() + static_cast<size_t>(digits) > STATION_CODE_MAX) {
    stem.resize(STATION_CODE_MAX - static_cast<size_t>(digits));
  }
  for (int i = 0; i < options.count; ++i) {
    InstrumentConfig c = base;
    c.stationId = base.stationId + static_cast<uint32_t>(i);
    if (!options.stationPrefix.empty()) {
      c.station = sformat("%s%0*d", options.stationPrefix.c_str(), digits, i + 1);
    } else if (i > 0) {
      c.station = sformat("%s%0*d", stem.c_str(), digits, i);
    }
    if (c.station.size() > STATION_CODE_MAX) {
      *error = sformat(
          "station code %s is longer than %zu characters; use a shorter --station "
          "or --station-prefix",
          c.station.c_str(), STATION_CODE_MAX);
      return false;
    }
    if (options.count > 1 && !base.cardDir.empty()) c.cardDir = base.cardDir + "/" + c.station;
    configs->push_back(c);
  }
  return true;
}
