#include "SimSettings.h"

#include <cstdlib>

#include "util/FileUtil.h"
#include "util/JsonLine.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char NIL_ANSWER[] = "nil";
constexpr char SETTINGS_TIME_FORMAT[] = "%Y-%m-%d %H%M %S";
constexpr char PEAK_TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";
constexpr int MAX_CHANNEL_FLAGS = 4;  // storing_chan[0..3], tele_chan[0..3]

bool isNumber(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0';
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ",") + p;
  return out;
}

}  // namespace

SimSettings::SimSettings(const StreamIdentity& identity, time_t now) : identity_(identity) {
  std::string peakTime = formatUtc(now, PEAK_TIME_FORMAT);
  entries_ = {
      {"settings_time", formatUtc(now, SETTINGS_TIME_FORMAT)},
      {"serial", sformat("%08X", identity.stationId)},
      {"board_id", sformat("%u", identity.stationId & 0xFFFF)},
      {"firmware_version", sformat("sim-%d", identity.buildNumber)},
      {"settings_version", "1"},
      {"cpv", "838860.8"},
      {"gain", "0"},
      {"gain_A_0", "1"},
      {"gain_B_0", "1"},
      {"current_gain", "0"},
      {"sens", "1.0"},
      {"custom_sensitivity_A_0", "1.0"},
      {"custom_sensitivity_B", "1.0"},
      {"unit", "m/s"},
      {"unit_B", "m/s"},
      {"volt", "3.3"},
      {"volt_B", "3.3"},
      {"sensor_name", "SIM-GEOPHONE"},
      {"sensor_sn", "0001"},
      {"sensor_internal", "1"},
      {"input_mode", "0"},
      {"log_level", "1"},
      {"send_mode", "1"},
      {"connection_mode", "1"},
      {"stalta_enable", "1"},
      {"sta", "1.0"},
      {"lta", "30.0"},
      {"stalta_threshold", "4.0"},
      {"level_trigger_enable", "0"},
      {"hist_opt", "1"},
      {"server_timeout", "60"},
      {"v_supply", "12.4"},
      {"temperature", "21.5"},
      {"card_free_pc", "87.5"},
      {"card_total", "32000"},
      {"sats", "9"},
      {"lat", "47.3769"},
      {"long", "8.5417"},
      {"alt", "408.0"},
      {"odir", "/data"},
      {"last_peak 0", "0.0012 m/s " + peakTime},
      {"last_peak 1", "0.0009 m/s " + peakTime},
  };
  applyIdentity(true);
}

void SimSettings::applyIdentity(bool withBuild) {
  entries_["sitename"] = identity_.station;
  entries_["network_code"] = identity_.network;
  entries_["location_id"] = identity_.location;
  entries_["sampling_rate"] = sformat("%d", identity_.sampleRate);
  entries_["channel_config"] = joined(identity_.channels);
  int count = static_cast<int>(identity_.channels.size());
  entries_["ch4_active"] = count >= MAX_CHANNEL_FLAGS ? "1" : "0";
  for (int i = 0; i < MAX_CHANNEL_FLAGS; ++i) {
    entries_[sformat("storing_chan[%d]", i)] = i < count ? "1" : "0";
    entries_[sformat("tele_chan[%d]", i)] = i < count ? "1" : "0";
  }
  entries_["storing_vsum"] = "0";
  entries_["tele_vsum"] = "0";
  if (withBuild) entries_["build_number"] = sformat("%d", identity_.buildNumber);
}

int SimSettings::parse(const std::string& text) {
  int taken = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string key, value;
    if (end > at && parseJsonLine(text.substr(at, end - at), key, value)) {
      entries_[key] = value;
      ++taken;
    }
    at = end + 1;
  }
  return taken;
}

bool SimSettings::load(const std::string& path, bool keepBuild, std::string* error) {
  long long size = getFileSize(path);
  if (size < 0) {
    *error = "cannot read settings file " + path;
    return false;
  }
  if (static_cast<unsigned long long>(size) > SETTINGS_FILE_MAX) {
    *error = sformat("settings file %s is larger than %zu bytes", path.c_str(), SETTINGS_FILE_MAX);
    return false;
  }
  std::vector<uint8_t> data;
  if (readFile(path, data) < 0) {
    *error = "cannot read settings file " + path;
    return false;
  }
  parse(std::string(data.begin(), data.end()));
  applyIdentity(keepBuild);
  return true;
}

void SimSettings::set(const std::string& key, const std::string& value) { entries_[key] = value; }

bool SimSettings::get(const std::string& key, std::string* value) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  *value = it->second;
  return true;
}

std::string SimSettings::line(const std::string& key, const std::string& value) {
  if (isNumber(value)) return "\"" + key + "\"=" + value;
  return "\"" + key + "\"=\"" + value + "\"";
}

std::string SimSettings::answer(const std::string& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? NIL_ANSWER : line(it->first, it->second);
}

std::string SimSettings::queryKey(const std::string& text) {
  if (text.empty() || text[0] != '?') return "";
  std::string key;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] != '"') key += text[i];
  }
  size_t first = key.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  size_t last = key.find_last_not_of(' ');
  return key.substr(first, last - first + 1);
}

std::string SimSettings::render() const {
  std::string out = "# settings of station " + identity_.station + "\n";
  for (const auto& entry : entries_) out += line(entry.first, entry.second) + "\n";
  return out;
}
