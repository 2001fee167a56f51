#include "Control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

constexpr size_t POLL_CHUNK = 4096;
constexpr long TRIGGER_TYPE_MAX = 255;
constexpr long SEQ_NO_MAX = 255;
constexpr int HEX_BASE = 16;

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// A whole decimal number in [low, high].
bool parseNumber(const std::string& text, long low, long high, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

}  // namespace

bool parseControlLine(const std::string& rawLine, ControlCommand* command, std::string* error) {
  error->clear();
  std::string line = trim(rawLine);
  if (line.empty() || line[0] == '#') return false;
  if (line.size() > CONTROL_LINE_MAX) {
    *error = sformat("command line longer than %zu characters", CONTROL_LINE_MAX);
    return false;
  }
  ControlCommand c;
  if (line[0] == '@') {
    size_t space = line.find(' ');
    if (space == std::string::npos || space == 1) {
      *error = "\"@STA\" must be followed by a command: " + line;
      return false;
    }
    c.target = line.substr(1, space - 1);
    line = trim(line.substr(space + 1));
  }
  size_t space = line.find(' ');
  std::string verb = line.substr(0, space);
  std::string arg = space == std::string::npos ? "" : trim(line.substr(space + 1));
  long n = 0;
  if (verb == "trigger") {
    if (!parseNumber(arg, 0, TRIGGER_TYPE_MAX, &n)) {
      *error = "trigger needs an alarm type 0..255: " + line;
      return false;
    }
    c.kind = ControlCommand::TRIGGER;
    c.number = static_cast<int>(n);
  } else if (verb == "command") {
    if (arg.empty()) {
      *error = "command needs a text: " + line;
      return false;
    }
    c.kind = ControlCommand::COMMAND;
    c.text = arg;
  } else if (verb == "request") {
    if (arg.empty()) {
      *error = "request needs a text: " + line;
      return false;
    }
    c.kind = ControlCommand::REQUEST;
    c.text = arg;
  } else if (verb == "garbage") {
    if (!parseNumber(arg, 1, GARBAGE_MAX, &n)) {
      *error = sformat("garbage needs a byte count 1..%d: %s", GARBAGE_MAX, line.c_str());
      return false;
    }
    c.kind = ControlCommand::GARBAGE;
    c.number = static_cast<int>(n);
  } else if (verb == "badcheck" && arg.empty()) {
    c.kind = ControlCommand::BADCHECK;
  } else if (verb == "foreign") {
    c.kind = ControlCommand::FOREIGN;
    if (!arg.empty()) {
      char* end = nullptr;
      errno = 0;
      unsigned long id = strtoul(arg.c_str(), &end, 16);
      if (errno != 0 || *end != '\0' || id > UINT32_MAX) {
        *error = "foreign needs a hexadecimal station id: " + line;
        return false;
      }
      c.stationId = static_cast<uint32_t>(id);
    }
  } else if (verb == "disconnect" && arg.empty()) {
    c.kind = ControlCommand::DISCONNECT;
  } else if (verb == "silence") {
    if (!parseNumber(arg, 1, SILENCE_MAX_S, &n)) {
      *error = sformat("silence needs seconds 1..%d: %s", SILENCE_MAX_S, line.c_str());
      return false;
    }
    c.kind = ControlCommand::SILENCE;
    c.number = static_cast<int>(n);
  } else if (verb == "nack") {
    if (!parseNumber(arg, 0, SEQ_NO_MAX, &n)) {
      *error = sformat("nack needs a sequence number 0..%ld: %s", SEQ_NO_MAX, line.c_str());
      return false;
    }
    c.kind = ControlCommand::NACK;
    c.number = static_cast<int>(n);
  } else if (verb == "frame") {
    if (arg.size() != FRAME_TYPE_DIGITS || !isxdigit(static_cast<unsigned char>(arg[0])) ||
        !isxdigit(static_cast<unsigned char>(arg[1]))) {
      *error = "frame needs a message type of two hexadecimal digits, e.g. frame 90: " + line;
      return false;
    }
    c.kind = ControlCommand::FRAME;
    c.number = static_cast<int>(strtoul(arg.c_str(), nullptr, HEX_BASE));
  } else if (verb == "quit" && arg.empty()) {
    c.kind = ControlCommand::QUIT;
  } else {
    *error = "unknown command: " + line;
    return false;
  }
  *command = c;
  return true;
}

bool parseScript(const std::string& script, std::vector<ScriptEntry>* entries, std::string* error) {
  size_t at = 0;
  while (at <= script.size()) {
    size_t end = script.find(';', at);
    std::string item =
        trim(script.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (!item.empty()) {
      size_t colon = item.find(':');
      char* stop = nullptr;
      double seconds = colon == std::string::npos ? -1 : strtod(item.c_str(), &stop);
      if (colon == std::string::npos || stop != item.c_str() + colon || seconds < 0) {
        *error = "script entry must be SECONDS:COMMAND: " + item;
        return false;
      }
      ScriptEntry entry;
      entry.atSeconds = seconds;
      if (!parseControlLine(item.substr(colon + 1), &entry.command, error)) {
        if (error->empty()) *error = "script entry without a command: " + item;
        return false;
      }
      entries->push_back(entry);
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return true;
}

ControlFile::ControlFile(std::string path) : path_(std::move(path)) {}

bool ControlFile::open(std::string* error) {
  int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, MODE_SHARED_FILE);
  if (fd < 0) {
    *error = sformat("cannot open control file %s: %s", path_.c_str(), strerror(errno));
    return false;
  }
  struct stat st;
  offset_ = fstat(fd, &st) == 0 ? st.st_size : 0;
  ::close(fd);
  return true;
}

std::vector<std::string> ControlFile::poll() {
  std::vector<std::string> lines;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lines;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size < offset_) {
    offset_ = 0;  // truncated or replaced: start again
    partial_.clear();
  }
  char chunk[POLL_CHUNK];
  for (;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, offset_);
    if (n <= 0) break;
    offset_ += n;
    partial_.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t at = 0;
  for (size_t nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n', at)) {
    lines.push_back(partial_.substr(at, nl - at));
    at = nl + 1;
  }
  partial_.erase(0, at);
  if (partial_.size() > CONTROL_LINE_MAX * 2) partial_.clear();  // no line break in sight
  return lines;
}
