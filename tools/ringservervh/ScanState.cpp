#include "ScanState.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

#include "RecordStore.h"
#include "RingLog.h"
#include "util/FileUtil.h"

namespace {

constexpr char STATE_HEADER[] = "# ringservervh scan state";
constexpr char NEXT_PREFIX[] = "# next ";

// A relative name that stays inside the folder.
bool isSafeName(const std::string& name) {
  if (name.empty() || name.size() > SCAN_NAME_MAX || name[0] == '/') return false;
  std::istringstream parts(name);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

ScanState::ScanState(RingScan config, RecordSink sink)
    : config_(std::move(config)), sink_(std::move(sink)) {}

bool ScanState::parse(const std::string& text, std::map<std::string, long long>* offsets,
                      uint64_t* nextSeq) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != STATE_HEADER) return false;
  *nextSeq = 0;
  while (std::getline(in, line) && offsets->size() < SCAN_FILES_MAX) {
    if (line.compare(0, sizeof NEXT_PREFIX - 1, NEXT_PREFIX) == 0) {
      const std::string digits = line.substr(sizeof NEXT_PREFIX - 1);
      if (digits.empty() || digits.size() > 19 ||
          digits.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      *nextSeq = std::stoull(digits);
      continue;
    }
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0 || blank > 18) continue;
    const std::string digits = line.substr(0, blank);
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string name = line.substr(blank + 1);
    if (!isSafeName(name)) continue;
    (*offsets)[name] = std::stoll(digits);
  }
  return true;
}

bool ScanState::load() {
  offsets_.clear();
  haveState_ = false;
  if (config_.stateFile.empty()) return false;
  const long long size = getFileSize(config_.stateFile);
  if (size <= 0 || size > static_cast<long long>(SCAN_STATE_BYTES_MAX)) return false;
  std::vector<uint8_t> bytes;
  if (readFile(config_.stateFile, bytes) <= 0) return false;
  haveState_ = parse(std::string(bytes.begin(), bytes.end()), &offsets_, &savedNextSeq_);
  if (!haveState_) {
    ringLog("state file %s is not a scan state; starting afresh", config_.stateFile.c_str());
  }
  return haveState_;
}

bool ScanState::save(uint64_t nextSeq) {
  if (config_.stateFile.empty()) return true;
  const std::string tmp = config_.stateFile + ".tmp";
  FILE* file = fopen(tmp.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = fprintf(file, "%s\n%s%llu\n", STATE_HEADER, NEXT_PREFIX,
                    static_cast<unsigned long long>(nextSeq)) > 0;
  for (const auto& entry : offsets_) {
    ok = fprintf(file, "%lld %s\n", entry.second, entry.first.c_str()) > 0 && ok;
  }
  ok = fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
  ok = fclose(file) == 0 && ok;
  if (!ok || rename(tmp.c_str(), config_.stateFile.c_str()) != 0) {
    removeFile(tmp);
    return false;
  }
  savedNextSeq_ = nextSeq;
  haveState_ = true;
  return true;
}

void ScanState::walk(const std::string& folder, const std::string& prefix, int depth,
                     std::map<std::string, long long>* sizes) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string name = prefix + entry->d_name;
    const std::string path = gluePath(folder, entry->d_name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && depth < SCAN_DEPTH_MAX) {
      walk(path, name + "/", depth + 1, sizes);
    } else if (S_ISREG(st.st_mode) && isSafeName(name) && sizes->size() < SCAN_FILES_MAX) {
      (*sizes)[name] = st.st_size;
    }
  }
  closedir(dir);
}

int ScanState::readNew(const std::string& name, long long size) {
  long long& offset = offsets_[name];
  if (size < offset) offset = 0;  // a new file of the same name
  if (size - offset < static_cast<long long>(SL_RECORD_LENGTH)) return 0;
  FILE* file = fopen(gluePath(config_.folder, name).c_str(), "rb");
  if (file == nullptr) return 0;
  int count = 0;
  uint8_t record[SL_RECORD_LENGTH];
  if (fseeko(file, offset, SEEK_SET) == 0) {
    while (size - offset >= static_cast<long long>(SL_RECORD_LENGTH) &&
           fread(record, 1, sizeof record, file) == sizeof record) {
      RecordHeader header;
      if (!readRecordHeader(record, sizeof record, &header)) {
        ringLog("%s: no 512-byte miniSEED record at offset %lld, rest of the file skipped",
                name.c_str(), offset);
        offset = size;
        break;
      }
      sink_(record);
      offset += static_cast<long long>(SL_RECORD_LENGTH);
      ++count;
    }
  }
  fclose(file);
  return count;
}

int ScanState::scan() {
  std::map<std::string, long long> sizes;
  walk(config_.folder, "", 0, &sizes);
  // Files that are gone are forgotten.
  for (auto it = offsets_.begin(); it != offsets_.end();) {
    it = sizes.count(it->first) != 0 ? std::next(it) : offsets_.erase(it);
  }
  if (!haveState_) {
    haveState_ = true;
    if (config_.initCurrentState) {
      // Whole records count as read; a record still being written is served
      // once it is complete.
      for (const auto& entry : sizes) {
        offsets_[entry.first] =
            entry.second - entry.second % static_cast<long long>(SL_RECORD_LENGTH);
      }
      return 0;
    }
  }
  int count = 0;
  for (const auto& entry : sizes) count += readNew(entry.first, entry.second);
  return count;
}
