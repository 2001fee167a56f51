#include "core/RingConf.h"

#include <cstdio>
#include <sstream>

#include "util/FileUtil.h"

namespace {

constexpr char SCAN_KEY[] = "MSeedScan";
constexpr char WATCH_PARENT[] = "WatchParent";
constexpr char STATE_FILE_OPTION[] = "StateFile=";
constexpr char INIT_CURRENT_OPTION[] = "InitCurrentState=";
constexpr const char* KNOWN_KEYS[] = {"ServerID",     "RingDirectory", "RingSize",
                                      "DataLinkPort", "SeedLinkPort",  "TransferLogDirectory",
                                      "MaxClients"};

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isKnown(const std::string& key) {
  for (const char* known : KNOWN_KEYS) {
    if (key == known) return true;
  }
  return false;
}

// The words of a line with its white space and surrounding quotes dropped
// (the property rules' trimming); empty for comments.
std::vector<std::string> wordsOf(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  if (!words.empty() && (words[0][0] == '#' || words[0][0] == '*')) words.clear();
  return words;
}

}  // namespace

bool RingConf::parseScan(const std::string& words, RingScan* scan) {
  std::vector<std::string> list = wordsOf(words);
  if (list.empty()) return false;
  RingScan result;
  result.folder = list[0];
  for (size_t i = 1; i < list.size(); ++i) {
    const std::string& option = list[i];
    if (startsWith(option, STATE_FILE_OPTION)) {
      result.stateFile = option.substr(sizeof STATE_FILE_OPTION - 1);
    } else if (startsWith(option, INIT_CURRENT_OPTION)) {
      const std::string value = option.substr(sizeof INIT_CURRENT_OPTION - 1);
      result.initCurrentState = value == "y" || value == "Y";
    }
  }
  *scan = result;
  return true;
}

bool RingConf::read(const std::string& path) {
  scan_ = RingScan();
  watchParent_ = false;
  unknown_.clear();
  const bool opened = props_.read(path);
  for (const std::string& key : props_.getKeys()) {
    if (key == SCAN_KEY) {
      parseScan(props_.get(key, ""), &scan_);
    } else if (startsWith(key, std::string(SCAN_KEY) + " ")) {
      // Split at the "=" of its first option: the key holds the folder.
      parseScan(key.substr(sizeof SCAN_KEY) + "=" + props_.get(key, ""), &scan_);
    } else if (!isKnown(key)) {
      unknown_.push_back(key);
    }
  }
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return opened;
  std::string line;
  while (getLine(file, line)) {
    std::vector<std::string> words = wordsOf(line);
    if (words.size() != 1 || words[0].find('=') != std::string::npos) continue;
    if (words[0] == WATCH_PARENT) {
      watchParent_ = true;
    } else if (words[0].front() != '[') {
      unknown_.push_back(words[0]);
    }
  }
  fclose(file);
  return opened;
}

std::string RingConf::scanFolder() const {
  return scan_.folder.empty() ? std::string(RING_DEFAULT_SCAN) : scan_.folder;
}
