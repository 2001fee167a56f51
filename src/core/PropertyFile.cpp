#include "core/PropertyFile.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr size_t READ_BUFFER_SIZE = READ_PIECE_MAX + 1;  // one piece plus its terminator
constexpr char WRITE_TEMP_SUFFIX[] = ".tmp";
constexpr char HEADER_TIME_FORMAT[] = "%Y-%m-%d %H%M %S";

bool isTrimmed(char c) { return isspace(static_cast<unsigned char>(c)) || c == '"'; }

// Drops leading white space and double quotes; when something is left, drops
// trailing ones too, keeping at least the first remaining character. Quotes
// inside the text stay.
std::string trimwhitespace(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && isTrimmed(text[begin])) ++begin;
  if (begin == text.size()) return std::string();
  size_t end = text.size();
  while (end > begin + 1 && isTrimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// An indented key continues the group of the previous key: the previous key up
// to and including its last blank, when that blank is not its first character.
std::string mungeKeys(const std::string& key, const std::string& previousKey) {
  size_t blank = previousKey.rfind(' ');
  if (blank == std::string::npos || blank == 0) return key;
  return previousKey.substr(0, blank + 1) + key;
}

template <typename T>
T parseDecimal(const std::string& text) {
  std::istringstream in(text);
  T value = 0;
  in >> value;  // sets 0 when nothing parses, the nearest limit on overflow
  return value;
}

}  // namespace

PropertyFile::PropertyFile() = default;
PropertyFile::~PropertyFile() = default;

bool PropertyFile::read(const std::string& path) {
  std::map<std::string, std::string> entries;
  time_t modTime = fileModifiedTime(path);
  FILE* file = fopen(path.c_str(), "r");
  if (file != nullptr) {
    std::string section;
    std::string previousKey;
    char buffer[READ_BUFFER_SIZE];
    while (fgets(buffer, sizeof buffer, file) != nullptr) {
      std::string raw(buffer);  // a NUL byte ends the piece
      bool indented = !raw.empty() && raw[0] == ' ';
      std::string line = trimwhitespace(raw);
      if (line.empty() || line[0] == '#' || line[0] == '*') continue;
      if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        section = line.substr(1, line.size() - 2);
        continue;
      }
      size_t split = line.find('=');
      if (split == std::string::npos) split = line.find(' ');
      if (split == std::string::npos) continue;  // one word: no value
      std::string key = trimwhitespace(line.substr(0, split));
      if (key.empty()) continue;  // "=value" names nothing
      if (indented) key = mungeKeys(key, previousKey);
      previousKey = key;
      if (!section.empty()) key = section + "." + key;
      entries.emplace(key, trimwhitespace(line.substr(split + 1)));  // the first occurrence wins
    }
    fclose(file);
  }
  MutexLock lock(mu_);
  path_ = path;
  readModTime_ = modTime;
  entries_.swap(entries);
  return file != nullptr;
}

bool PropertyFile::reread() { return read(getPropFilePath()); }

time_t PropertyFile::getModTime() const { return fileModifiedTime(getPropFilePath()); }

time_t PropertyFile::getReadModTime() const {
  MutexLock lock(mu_);
  return readModTime_;
}

bool PropertyFile::changed(time_t t) const { return getModTime() != t; }

std::string PropertyFile::getPropFilePath() const {
  MutexLock lock(mu_);
  return path_;
}

bool PropertyFile::hasKey(const std::string& key) const {
  MutexLock lock(mu_);
  return entries_.count(key) != 0;
}

std::string PropertyFile::lookup(const std::string& key, const std::string& def, bool emptyAsAbsent,
                                 bool* usedDefault) {
  MutexLock lock(mu_);
  auto it = entries_.find(key);
  if (it != entries_.end() && !(emptyAsAbsent && it->second.empty())) {
    if (usedDefault != nullptr) *usedDefault = false;
    return it->second;
  }
  if (!def.empty()) entries_[key] = def;
  if (usedDefault != nullptr) *usedDefault = true;
  return def;
}

std::string PropertyFile::get(const std::string& key, const std::string& def) {
  return lookup(key, def, false, nullptr);
}

std::string PropertyFile::getPath(const std::string& key, const std::string& def) {
  std::string path = bounded(get(key, def), PROP_PATH_MAX);
  makeLinuxPath(path);
  return path;
}

std::string PropertyFile::getPathWithExtension(const std::string& key,
                                               const std::string& extension) {
  std::string path = getPath(key, "");
  if (!extension.empty() && !path.empty() && path.find(extension) == std::string::npos)
    path = bounded(path + extension, PROP_PATH_MAX);
  return path;
}

int PropertyFile::getInt(const std::string& key, int def) {
  bool usedDefault = false;
  std::string text = lookup(key, std::to_string(def), true, &usedDefault);
  return usedDefault ? def : parseDecimal<int>(text);
}

long PropertyFile::getLong(const std::string& key, long def) {
  bool usedDefault = false;
  std::string text = lookup(key, std::to_string(def), true, &usedDefault);
  return usedDefault ? def : parseDecimal<long>(text);
}

int PropertyFile::getHex(const std::string& key, int def) {
  std::string text = get(key, sformat("%x", static_cast<unsigned>(def)));
  if (text.size() >= 2 && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty()) return def;
  errno = 0;
  unsigned long long value = strtoull(text.c_str(), nullptr, 16);
  if (errno == ERANGE || value > UINT32_MAX) value = UINT32_MAX;
  return static_cast<int>(static_cast<uint32_t>(value));
}

bool PropertyFile::write(const std::string& path) {
  MutexLock lock(mu_);
  if (path.empty()) {
    pprintf("Cannot write %s\n", path.c_str());
    return false;
  }
  mkdirs(path, false);
  std::string temp = path + WRITE_TEMP_SUFFIX;
  FILE* file = fopen(temp.c_str(), "w");
  if (file == nullptr) {
    pprintf("Cannot write %s\n", path.c_str());
    return false;
  }
  fprintf(file, "# %s\n", path.c_str());
  fprintf(file, "# %s\n\n", formatUtc(time(nullptr), HEADER_TIME_FORMAT).c_str());
  for (const auto& entry : entries_)
    fprintf(file, "%s=%s\n", entry.first.c_str(), entry.second.c_str());
  fprintf(file, "\n# end.\n");
  bool ok = !ferror(file);
  if (fclose(file) != 0) ok = false;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    pprintf("Cannot write %s\n", path.c_str());
  }
  return ok;
}

bool PropertyFile::write() { return write(getPropFilePath()); }

bool PropertyFile::putQuotesOnKey(const std::string& line, std::string& destination, size_t size) {
  std::string text = bounded(line, size);
  size_t keyBegin = text.find_first_not_of('=');
  if (keyBegin == std::string::npos || size == 0) return false;
  size_t keyEnd = text.find('=', keyBegin);
  std::string key =
      text.substr(keyBegin, keyEnd == std::string::npos ? std::string::npos : keyEnd - keyBegin);
  std::string value;
  if (keyEnd != std::string::npos) {
    size_t valueBegin = text.find_first_not_of('=', keyEnd);
    if (valueBegin != std::string::npos) value = text.substr(valueBegin);
  }
  if (key.front() != '"') key.insert(0, 1, '"');
  if (key.size() < 2 || key.back() != '"') key += '"';
  destination = bounded(key + "=" + value, size - 1);
  return true;
}

void PropertyFile::print(FILE* stream) const {
  MutexLock lock(mu_);
  for (const auto& entry : entries_)
    fprintf(stream, "%s=%s\n", entry.first.c_str(), entry.second.c_str());
}

size_t PropertyFile::size() const {
  MutexLock lock(mu_);
  return entries_.size();
}

std::vector<std::string> PropertyFile::getKeys() const {
  MutexLock lock(mu_);
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}
