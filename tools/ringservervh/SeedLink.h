// The SeedLink 3.1 side of ringservervh, without sockets: the command
// parser and one client's conversation (SeedLinkSession), which turns
// command lines into answers and, once streaming, the ring's records into
// "SL" + six hex digits of sequence + 512-byte record packets.
//
// Commands: HELLO, CAT, BYE, BATCH, STATION sta [net], SELECT [pattern],
// DATA [seq [time]], FETCH [seq [time]], TIME [begin [end]], END and INFO
// ID|CAPABILITIES|STATIONS|STREAMS. Station and network take the wildcards
// '?' (one character) and '*' (any run). A SELECT pattern is
// [!]LLCCC[.T] or [!]CCC[.T] (any location); "--" stands for the blank
// location and '?' matches one character. DATA, FETCH or TIME before any
// STATION stream every station (uni-station mode); after STATION they set
// that station's start and END begins the stream (multi-station mode).
// FETCH ends the connection once the client has caught up. INFO answers are
// XML in ASCII miniSEED records, headed "SLINFO *" while more follow and
// "SLINFO  " on the last.
//
// Owned by the server thread; no lock.
#ifndef VH_TOOLS_RINGSERVERVH_SEEDLINK_H_
#define VH_TOOLS_RINGSERVERVH_SEEDLINK_H_

#include <libmseed.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ClientProtocol.h"
#include "RecordStore.h"

constexpr size_t SL_LINE_MAX = 255;               // characters of a command line
constexpr size_t SL_ARGS_MAX = 8;                 // words of a command
constexpr size_t SL_STATIONS_MAX = 256;           // STATION requests of one client
constexpr size_t SL_SELECTORS_MAX = 64;           // SELECT patterns of one station request
constexpr size_t SL_INFO_BYTES_MAX = 256u << 10;  // XML text of one INFO answer
constexpr size_t SL_HEADER_LENGTH = 8;            // "SL" + six hex digits
constexpr char SL_SOFTWARE[] = "SeedLink v3.1 (ringservervh 127)";

struct SlCommand {
  enum Kind {
    EMPTY,
    UNKNOWN,
    HELLO,
    CAT,
    BYE,
    BATCH,
    STATION,
    SELECT,
    DATA,
    FETCH,
    TIME,
    END,
    INFO
  };
  Kind kind = EMPTY;
  std::vector<std::string> args;  // words after the command, as sent
};

// Splits one line (without its line end) into command and words; the
// command word is matched without regard to case. More than SL_ARGS_MAX
// words make the command UNKNOWN.
SlCommand parseSlCommand(const std::string& line);

// True when pattern (with '?' and '*') matches text.
bool wildMatch(const std::string& pattern, const std::string& text);

// A SELECT pattern, checked. False for a malformed one.
struct SlSelector {
  bool negate = false;
  bool anyLocation = false;
  std::string location;  // two characters, blank as "  "
  std::string channel;   // three characters
  char type = 0;         // 0: any
};
bool parseSelector(const std::string& text, SlSelector* out);

// "YYYY,MM,DD,hh,mm,ss" (SeedLink time) to hptime; false when malformed.
bool parseSlTime(const std::string& text, hptime_t* out);

class SeedLinkSession : public ClientProtocol {
 public:
  SeedLinkSession(const RecordStore& store, std::string serverId);

  // Splits the bytes into lines at CR and LF (handleLine); a line longer
  // than SL_LINE_MAX closes the connection.
  bool receive(const char* bytes, size_t length, std::string* out) override;
  // As receive; a WebSocket message holds whole lines, so the last one
  // needs no line end.
  bool receiveMessage(const char* bytes, size_t length, std::string* out) override;
  // Handles one command line, appending the answer to out. False when the
  // connection is to be closed (BYE, a malformed line count exceeded).
  bool handleLine(const std::string& line, std::string* out);
  // Appends packets of records not yet sent, up to maxBytes of output.
  // False when the conversation is over (FETCH caught up).
  bool fill(std::string* out, size_t maxBytes) override;
  bool streaming() const override { return streaming_; }
  uint64_t recordsSent() const override { return recordsSent_; }

 private:
  struct StationRequest {
    std::string network = "*", station = "*";
    std::vector<SlSelector> selectors;
    uint64_t startSeq = 0;  // 0: from the next new record
    bool hasStart = false;
    hptime_t begin = 0, end = 0;  // 0: open
  };
  bool wants(const StoredRecord& record) const;
  bool setStart(const std::vector<std::string>& args, StationRequest* request, bool time);
  void answer(bool ok, std::string* out);
  void startStream();
  void info(const std::string& level, std::string* out);
  std::string infoXml(const std::string& level) const;

  const RecordStore& store_;
  std::string serverId_;
  std::vector<StationRequest> requests_;
  int current_ = -1;  // index of the last STATION request, -1 before any
  bool batch_ = false;
  bool streaming_ = false;
  bool dialup_ = false;
  uint64_t cursor_ = 0;  // next sequence number to look at
  uint64_t recordsSent_ = 0;
  int errors_ = 0;
  std::string line_;  // the command line being received
};

// An INFO answer: text cut into ASCII miniSEED records, each with its
// "SLINFO" header.
std::string makeInfoPackets(const std::string& text);

#endif  // VH_TOOLS_RINGSERVERVH_SEEDLINK_H_
