#include "metadata/SsFile.h"

#include <cstdlib>

#include "util/JsonLine.h"
#include "util/Text.h"

namespace {

constexpr char READ_ONLY_MARK[] = " (ro)";
constexpr size_t READ_ONLY_MIN_TEXT = 6;  // shorter values are never cut

}  // namespace

const char* const SsFile::SS_KEYS[SS_NUM_KEYS + 1] = {"settings_time",
                                                      "sitename",
                                                      "network_code",
                                                      "build_number",
                                                      "cpv",
                                                      "cpv_chO",
                                                      "custom_sensitivity_A_0",
                                                      "custom_sensitivity_A_1",
                                                      "custom_sensitivity_A_2",
                                                      "custom_sensitivity_B",
                                                      "custom_units",
                                                      "sensor_name",
                                                      "sensor_sn",
                                                      "sensor_B_name",
                                                      "sensor_B_sn",
                                                      "board_id",
                                                      "ch4_active",
                                                      "sensor_internal",
                                                      "log_level",
                                                      "location_id",
                                                      "location_id_chO",
                                                      "sampling_rate",
                                                      "input_mode",
                                                      "storing_chan[0]",
                                                      "storing_chan[1]",
                                                      "storing_chan[2]",
                                                      "storing_chan[3]",
                                                      "storing_vsum",
                                                      "output_nc",
                                                      "unit_B",
                                                      "volt_B",
                                                      "send_mode",
                                                      "tele_chan[0]",
                                                      "tele_chan[1]",
                                                      "tele_chan[2]",
                                                      "tele_chan[3]",
                                                      "tele_vsum",
                                                      "firmware_version",
                                                      "settings_version",
                                                      "current_gain",
                                                      "gain",
                                                      "input_mux",
                                                      "input_mode",
                                                      "gain_A_0",
                                                      "gain_A_1",
                                                      "gain_A_2",
                                                      "gain_B_0",
                                                      "orientation_B_0",
                                                      "stalta_enable",
                                                      "stalta_channel_mask",
                                                      "stalta_filter_enable",
                                                      "sta",
                                                      "lta",
                                                      "stalta_threshold",
                                                      "trig_filt_lo_freq",
                                                      "trig_filt_hi_freq",
                                                      "level_trigger_enable",
                                                      "level_trigger_level",
                                                      "level_trigger_sensor",
                                                      "level_trigger2_enable",
                                                      "level_trigger2_level",
                                                      "level_trigger2_sensor",
                                                      "custom_name",
                                                      "custom_input_mode",
                                                      "custom_input_differential",
                                                      "custom_cal_enable",
                                                      "custom_cal_duration",
                                                      "custom_cal_type",
                                                      "custom_cal_frequency",
                                                      "custom_self_test_delay",
                                                      "hpf_enable",
                                                      "channel_config",
                                                      "connection_mode",
                                                      "socket_port",
                                                      "data_server",
                                                      "connection_apn",
                                                      "alarm_output_1",
                                                      "alarm_output_2",
                                                      "alarm_duration",
                                                      "s_filt",
                                                      "hist_opt",
                                                      "low_voltage",
                                                      "high_temperature",
                                                      "server_timeout",
                                                      "v_supply",
                                                      "temperature",
                                                      "card_free_pc",
                                                      "card_total",
                                                      "sats",
                                                      "unit",
                                                      "volt",
                                                      "lat",
                                                      "long",
                                                      "alt",
                                                      "?odir",
                                                      "?last_peak 0",
                                                      "?last_peak 1",
                                                      ""};

SsFile::SsFile() = default;

SsFile::~SsFile() = default;

int SsFile::set(const std::string& line) {
  if (line.size() > SS_SET_LINE_MAX) return 0;
  std::string key, value;
  if (!parseJsonLine(line, key, value)) return 0;
  if (value == "nil") {
    remove(key);
  } else {
    setChars(key, value);
  }
  return 1;
}

void SsFile::setChars(const std::string& key, const std::string& value) { entries_[key] = value; }

std::string SsFile::getChars(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return "";
  std::string text = it->second;
  if (text.size() >= READ_ONLY_MIN_TEXT) {
    size_t mark = text.find(READ_ONLY_MARK);
    if (mark != std::string::npos) text.erase(mark);
  }
  return text;
}

int SsFile::getInt(const std::string& key, int def) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return def;
  const char* start = it->second.c_str();
  char* end = nullptr;
  long v = strtol(start, &end, 10);
  return end == start ? def : static_cast<int>(v);
}

void SsFile::parse() {
  station_ = bounded(getChars("sitename"), SS_TEXT_FIELD_MAX);
  network_ = bounded(getChars("network_code"), SS_TEXT_FIELD_MAX);
  location_ = bounded(getChars("location_id"), SS_TEXT_FIELD_MAX);
  buildNo_ = getInt("build_number", SS_BUILD_DEFAULT);
}
