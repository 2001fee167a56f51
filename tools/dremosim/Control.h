// Commands that make a simulated instrument act on request: send a trigger
// or a text, or inject a fault. They come from a control file that the
// simulator polls for appended lines, and from a script of commands at given
// seconds after the start.
//
// Command lines (one per line in the control file; an optional "@STA " prefix
// sends a command to the instrument of station STA only, otherwise to all):
//   trigger N            TRIGGER frame with alarm type N (0..255)
//   command TEXT         COMMAND frame with TEXT (e.g. "Settings changed", "shutdown",
//                        "station_name ABC", "level trigger info ...")
//   garbage N            N random bytes (never the sync byte 0x55)
//   badcheck             the next frame goes out with a wrong check word
//   foreign [HEXID]      one frame from another station id (default 04000000)
//   disconnect           drop the link abruptly (TCP: reset; the instrument reconnects)
//   silence N            neither send nor answer for N seconds
//   nack N               NACK frame with sequence number N (0..255), no payload
//   frame TT             one frame of message type TT (two hex digits, e.g. 90), no
//                        payload, with the next data sequence number
//   request TEXT         REQUEST_FILE frame asking the hub for TEXT (e.g. "sites",
//                        "SRC=ABC,/data/x.ms", "SIM.ss")
//   quit                 end the simulator in order
// Blank lines and lines beginning with "#" are ignored.
//
// Script: entries "SECONDS:COMMAND" separated by ";", e.g.
// "5:trigger 2;12:badcheck;20:@SIM01 silence 40".
//
// Not shared: ControlFile and the script belong to the simulator's main
// thread, which hands parsed commands to the instruments.
#ifndef VH_TOOLS_DREMOSIM_CONTROL_H_
#define VH_TOOLS_DREMOSIM_CONTROL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t FOREIGN_STATION_ID = 0x04000000;  // default sender id of "foreign"
constexpr int GARBAGE_MAX = 100000;                  // bytes of one "garbage" command
constexpr int SILENCE_MAX_S = 86400;                 // seconds of one "silence" command
constexpr size_t CONTROL_LINE_MAX = 512;             // characters of a command line
constexpr size_t FRAME_TYPE_DIGITS = 2;              // hex digits of the type of "frame"

struct ControlCommand {
  enum Kind {
    TRIGGER,
    COMMAND,
    GARBAGE,
    BADCHECK,
    FOREIGN,
    DISCONNECT,
    SILENCE,
    NACK,
    FRAME,
    REQUEST,
    QUIT
  };
  Kind kind = QUIT;
  // TRIGGER: alarm type; GARBAGE: bytes; SILENCE: seconds; NACK: sequence
  // number; FRAME: message type
  int number = 0;
  uint32_t stationId = FOREIGN_STATION_ID;  // FOREIGN
  std::string text;                         // COMMAND, REQUEST
  std::string target;                       // station of "@STA", empty for all
};

// Parses one command line. False with the reason in error; comment and blank
// lines give false with an empty error.
bool parseControlLine(const std::string& line, ControlCommand* command, std::string* error);

struct ScriptEntry {
  double atSeconds = 0;  // after the simulator's start
  ControlCommand command;
};

// Parses a script "S:CMD;S:CMD". False with the reason in error.
bool parseScript(const std::string& script, std::vector<ScriptEntry>* entries, std::string* error);

// A file read like "tail -f": each poll returns the complete lines appended
// since the last poll. Lines already in the file when it is first opened are
// skipped; a file that shrinks is read again from its start.
class ControlFile {
 public:
  explicit ControlFile(std::string path);
  // Creates the file when it does not exist; remembers its end.
  bool open(std::string* error);
  // New complete lines (without line breaks).
  std::vector<std::string> poll();

 private:
  std::string path_;
  off_t offset_ = 0;     // bytes already taken
  std::string partial_;  // an incomplete last line
};

#endif  // VH_TOOLS_DREMOSIM_CONTROL_H_
