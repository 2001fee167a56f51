#include "metadata/JsonFile.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/JsonLine.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

// Numbers the temporary files of write, so that two writers of one path
// never share one.
std::atomic<unsigned> writeSequence{0};

constexpr char WRITE_TIME_FORMAT[] = "%Y-%m-%d %H:%M";

bool isLineEnd(char c) { return c == '\0' || c == '\r' || c == '\n'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// text with every byte outside printable ASCII replaced by '~', so that a value
// stored by the hub itself can never break or add lines of the file.
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (!isPrintableAscii(c)) c = '~';
  }
  return out;
}

}  // namespace

JsonFile::JsonFile(int capacity)
    : capacity_(capacity > 0 ? capacity : 1), buffer_(static_cast<size_t>(capacity_), '\0') {}

JsonFile::~JsonFile() = default;

int JsonFile::setStr(const std::string& key, const std::string& value) {
  std::string& stored = entries_[key];
  if (stored == value) return 0;
  stored = value;
  changed_ = true;
  return 1;
}

int JsonFile::set(const std::string& line) {
  std::string key, value;
  if (!readLine(line, key, value)) return 0;
  setChars(key, value);
  return 1;
}

int JsonFile::readLine(const std::string& line, std::string& key, std::string& value) {
  return parseJsonLine(line, key, value) ? 1 : 0;
}

bool JsonFile::isNumeric(const std::string& text) {
  if (text.empty()) return false;
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  strtod(start, &end);
  return end != start && *end == '\0';
}

int JsonFile::append(const char* data, int length) {
  if (data == nullptr) return 0;
  size_t n = length > 0 ? static_cast<size_t>(length) : strlen(data);
  if (static_cast<size_t>(used_) + n >= static_cast<size_t>(capacity_)) return 0;
  memcpy(buffer_.data() + used_, data, n);
  used_ += static_cast<int>(n);
  buffer_[static_cast<size_t>(used_)] = '\0';
  return 1;
}

void JsonFile::clear() {
  used_ = 0;
  readPos_ = 0;
  buffer_[0] = '\0';
}

bool JsonFile::isEnd() const { return readPos_ >= capacity_ || readPos_ >= used_; }

void JsonFile::skipLineBreaks() {
  while (readPos_ < used_ && readPos_ < JSON_PARSE_MAX_OFFSET &&
         isLineBreak(buffer_[static_cast<size_t>(readPos_)])) {
    ++readPos_;
  }
}

int JsonFile::nextLine(std::string& key, std::string& value) {
  // Line breaks before the first line of a buffer are passed over like those
  // between lines, so a file that begins with an empty line still parses.
  if (readPos_ == 0) skipLineBreaks();
  if (readPos_ >= used_ || isLineEnd(buffer_[static_cast<size_t>(readPos_)])) return 0;
  int start = readPos_;
  while (readPos_ < used_ && !isLineEnd(buffer_[static_cast<size_t>(readPos_)])) ++readPos_;
  std::string line(buffer_.data() + start, static_cast<size_t>(readPos_ - start));
  skipLineBreaks();
  std::string k, v;
  if (!readLine(line, k, v)) return 0;
  entries_[k] = v;
  key = k;
  value = v;
  return 1;
}

int JsonFile::parseFile() {
  readPos_ = 0;
  std::string key, value;
  for (int i = 0; i < JSON_PARSE_MAX_LINES && !isEnd(); ++i) {
    int before = readPos_;
    nextLine(key, value);
    if (readPos_ == before) break;
  }
  return static_cast<int>(entries_.size());
}

int JsonFile::read(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    parseFile();
    return 0;
  }
  used_ = 0;
  readPos_ = 0;
  buffer_[0] = '\0';
  bool whole = true;
  char chunk[JSON_READ_CHUNK];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (!append(chunk, static_cast<int>(n))) {
      pprintf("FULL.\n");
      whole = false;
      break;
    }
  }
  if (ferror(file)) whole = false;
  fclose(file);
  parseFile();
  return whole ? 1 : 0;
}

int JsonFile::setInt(const std::string& key, int value) {
  return setChars(key, sformat("%d", value));
}

int JsonFile::setFloat(const std::string& key, double value, int decimals) {
  std::string format = sformat("%%.%df", decimals);
  return setChars(key, sformatBounded(JSON_FLOAT_TEXT_MAX, format.c_str(), value));
}

int JsonFile::getChars(const std::string& key, char* dest, int size) const {
  if (dest == nullptr || size < 1 || key.empty()) return 0;
  auto it = entries_.find(key);
  if (it == entries_.end()) return 0;
  size_t n = std::min(it->second.size(), static_cast<size_t>(size - 1));
  memcpy(dest, it->second.data(), n);
  dest[n] = '\0';
  return 1;
}

int JsonFile::getStr(const std::string& key, std::string& out) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return 0;
  out = it->second;
  return 1;
}

int JsonFile::getInt(const std::string& key, int def) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return def;
  std::string text = bounded(it->second, JSON_NUMBER_TEXT_MAX);
  const char* start = text.c_str();
  char* end = nullptr;
  long v = strtol(start, &end, 10);
  if (end == start) return def;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

float JsonFile::getFloat(const std::string& key, float def) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return def;
  std::string text = bounded(it->second, JSON_NUMBER_TEXT_MAX);
  const char* start = text.c_str();
  char* end = nullptr;
  float v = strtof(start, &end);
  return end == start ? def : v;
}

int JsonFile::writeLine(FILE* stream, const std::string& key) {
  if (stream == nullptr || key.empty()) return 0;
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    pprintf("NO VALUE FOR KEY=%s\n", key.c_str());
    return 0;
  }
  return writeLine(stream, key, it->second);
}

int JsonFile::writeLine(FILE* stream, const std::string& key, const std::string& value) {
  if (stream == nullptr) return 0;
  std::string k = printable(key), v = printable(value);
  if (isNumeric(v) || (!v.empty() && v[0] == '"')) {
    fprintf(stream, "\"%s\"=%s\n", k.c_str(), v.c_str());
  } else {
    fprintf(stream, "\"%s\"=\"%s\"\n", k.c_str(), v.c_str());
  }
  return 1;
}

int JsonFile::write(const std::string& path) {
  if (writing_) {
    pprintf("STOP DOUBLE JsonFile.write\n");
    return 0;
  }
  writing_ = true;
  bool wasChanged = changed_;
  setStr(JSON_DATALOGGER_KEY, JSON_DATALOGGER_VALUE);
  changed_ = wasChanged;
  // Written beside the file under a hidden name of its own and renamed over
  // it, so that a companion program never reads a half-written file.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = sformat("%s.%s.%u.tmp", folder.c_str(), name.c_str(),
                                   writeSequence.fetch_add(1, std::memory_order_relaxed));
  FILE* file = fopen(temp.c_str(), "wb");
  if (file == nullptr) {
    mkdirs(path, false);
    file = fopen(temp.c_str(), "wb");
  }
  if (file == nullptr) {
    pprintf("FAILED TO OPEN [%s]\n", path.c_str());
    writing_ = false;
    return 0;
  }
  if (!formatKey_.empty()) writeLine(file, formatKey_);
  fprintf(file, "\n# %s\n", path.c_str());
  fprintf(file, "# %s\n\n", formatLocal(time(nullptr), WRITE_TIME_FORMAT).c_str());
  for (const auto& entry : entries_) {
    if (entry.first == formatKey_) continue;
    writeLine(file, entry.first, entry.second);
  }
  bool ok = fflush(file) == 0 && !ferror(file);
  ok = fclose(file) == 0 && ok;
  chmod(temp.c_str(), MODE_SHARED_FILE);
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    removeFile(temp);
  }
  writing_ = false;
  if (!ok) pprintf("FAILED TO WRITE [%s]\n", path.c_str());
  return ok ? 1 : 0;
}
