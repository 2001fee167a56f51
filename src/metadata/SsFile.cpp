#include "metadata/SsFile.h"

#include <cstring>
#include <ctime>

#include "core/Log.h"
#include "util/Dirs.h"
#include "util/SafeName.h"
#include "util/StrToTm.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char READ_ONLY_MARK[] = " (ro)";
constexpr size_t READ_ONLY_MIN_TEXT = 6;  // shorter copied texts are never cut
constexpr char SERIAL_MISSING[] = "00000000";
constexpr char SERIAL_KEY[] = "serial";
constexpr char NIL_VALUE[] = "nil";
constexpr float CPV_DEFAULT = 838860.8f;
constexpr int GAIN_INDEX_MAX = 6;  // "gain" 0..6 selects 2^gain
constexpr float GAIN_TABLE[GAIN_INDEX_MAX + 1] = {1, 2, 4, 8, 16, 32, 64};
constexpr int CH4_UNKNOWN = -999;   // "ch4_active" missing or not a number
constexpr int CHAN_UNKNOWN = -888;  // a channel switch missing or not a number
constexpr int CHANS_WITHOUT_CH4 = 3;
constexpr int CHANS_WITH_CH4 = 4;
constexpr char PEAK_TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";
// Where "HH" ends and "MM" begins in the stored settings time
// "YYYY-MM-DD HHMM SS", and where "SS" begins.
constexpr size_t SETTINGS_TIME_HOUR_END = 13;
constexpr size_t SETTINGS_TIME_SECONDS_AT = 16;
constexpr size_t TWO_DIGITS = 2;

// A text field of the settings (8, 20 or 80 bytes): at most maxChars
// characters of the value, read-only mark removed.
std::string textField(const SsFile& ss, const char* key, size_t maxChars) {
  std::string buffer(maxChars + 1, '\0');
  if (!ss.getChars(key, &buffer[0], static_cast<int>(maxChars + 1))) return "";
  buffer.resize(strlen(buffer.c_str()));
  return buffer;
}

// The leading hexadecimal digits of text; 0 when there are none, and
// 0xffffffff when they do not fit 32 bits.
uint32_t leadingHex(const std::string& text) {
  uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      break;
    }
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(v);
}

// The next word of text from pos on (leading blanks skipped); pos moves to
// the blank that ends it, or to the end.
std::string nextWord(const std::string& text, size_t& pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  size_t start = pos;
  while (pos < text.size() && text[pos] != ' ') ++pos;
  return text.substr(start, pos - start);
}

}  // namespace

const char* const SsFile::SS_KEYS[SS_NUM_KEYS + 1] = {
    "settings_time",
    "sitename",
    "network_code",
    "build_number",  // 0
    "cpv",
    "cpv_chO",
    "custom_sensitivity_A_0",
    "custom_sensitivity_A_1",  // 4
    "custom_sensitivity_A_2",
    "custom_sensitivity_B",
    "custom_units",
    "sensor_name",  // 8
    "sensor_sn",
    "sensor_B_name",
    "sensor_B_sn",
    "board_id",  // 12
    "ch4_active",
    "sensor_internal",
    "log_level",
    "location_id",  // 16
    "location_id_chO",
    "sampling_rate",
    "input_mode",
    "storing_chan[0]",  // 20
    "storing_chan[1]",
    "storing_chan[2]",
    "storing_chan[3]",
    "storing_vsum",  // 24
    "output_nc",
    "unit_B",
    "volt_B",
    "send_mode",  // 28
    "tele_chan[0]",
    "tele_chan[1]",
    "tele_chan[2]",
    "tele_chan[3]",  // 32
    "tele_vsum",
    "firmware_version",
    "settings_version",
    "current_gain",  // 36
    "gain",
    "input_mux",
    "input_mode",
    "gain_A_0",  // 40
    "gain_A_1",
    "gain_A_2",
    "gain_B_0",
    "orientation_B_0",  // 44
    "stalta_enable",
    "stalta_channel_mask",
    "stalta_filter_enable",
    "sta",  // 48
    "lta",
    "stalta_threshold",
    "trig_filt_lo_freq",
    "trig_filt_hi_freq",  // 52
    "level_trigger_enable",
    "level_trigger_level",
    "level_trigger_sensor",
    "level_trigger2_enable",  // 56
    "level_trigger2_level",
    "level_trigger2_sensor",
    "custom_name",
    "custom_input_mode",  // 60
    "custom_input_differential",
    "custom_cal_enable",
    "custom_cal_duration",
    "custom_cal_type",  // 64
    "custom_cal_frequency",
    "custom_self_test_delay",
    "hpf_enable",
    "channel_config",  // 68
    "connection_mode",
    "socket_port",
    "data_server",
    "connection_apn",  // 72
    "alarm_output_1",
    "alarm_output_2",
    "alarm_duration",
    "s_filt",  // 76
    "hist_opt",
    "low_voltage",
    "high_temperature",
    "server_timeout",  // 80
    "v_supply",
    "temperature",
    "card_free_pc",
    "card_total",  // 84
    "sats",
    "unit",
    "volt",
    "lat",  // 88
    "long",
    "alt",
    "?odir",
    "?last_peak 0",  // 92
    "?last_peak 1",
    "",  // 96
};

constexpr char SsFile::LUMETRA_RESPONSE[];

void PeakVals::parse(const std::string& text) {
  value = 0;
  units.clear();
  time = 0;
  size_t pos = 0;
  std::string valueWord = nextWord(text, pos);
  std::string unitsWord = nextWord(text, pos);
  if (valueWord.empty() || unitsWord.empty() || pos + 1 >= text.size()) return;
  std::string when = bounded(text.substr(pos + 1), SS_PEAK_TIME_CHARS);
  value = strtof(valueWord.c_str(), nullptr);
  units = bounded(unitsWord, SS_TEXT_FIELD_MAX);
  // The instrument writes the time as YYYY-MM-DD HH:MM:SS; the hub's compact
  // form YYYY-MM-DD HHMM SS is accepted as well.
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  if (strToTm(when.c_str(), PEAK_TIME_FORMAT, &tm) != nullptr) {
    time = static_cast<uint32_t>(tmToTime_t(tm));
  } else {
    time = static_cast<uint32_t>(strToTime_t(when.c_str()));
  }
}

SsFile::SsFile() : JsonFile(SS_BUFFER_BYTES) {
  setFormatKey(SS_FORMAT_KEY);
  setStr(SS_FORMAT_KEY, SS_FORMAT_VALUE);
}

SsFile::~SsFile() = default;

int SsFile::read(const std::string& path) {
  int result = JsonFile::read(path);
  if (result) {
    parseFile();
    parse();
  }
  return result;
}

int SsFile::set(const std::string& line) {
  if (line.size() > SS_SET_LINE_MAX) return 0;
  std::string key, value;
  if (!readLine(line, key, value)) return 0;
  if (value == NIL_VALUE) {
    remove(key);
  } else {
    setChars(key, value);
  }
  return 1;
}

int SsFile::writeLine(FILE* stream, const std::string& key, const std::string& value) {
  if (key == SERIAL_KEY && (value.empty() || value[0] != '"')) {
    return JsonFile::writeLine(stream, key, "\"" + value + "\"");
  }
  return JsonFile::writeLine(stream, key, value);
}

bool SsFile::isChanged() {
  if (changeCountdown_ > 0) {
    --changeCountdown_;
    return false;
  }
  changeCountdown_ = changeCountdownReload_;
  return JsonFile::isChanged();
}

int SsFile::getChars(const std::string& key, char* dest, int size) const {
  if (dest == nullptr || size < 1 || key.empty() || !hasKey(key)) return 0;
  // The mark is cut from the whole value before the value is cut to the
  // destination, so that a mark straddling the destination's end is not
  // left half in place ("ABCD (ro)" in 8 bytes gives "ABCD").
  std::string text = bounded(getChars(key), static_cast<size_t>(size - 1));
  memcpy(dest, text.c_str(), text.size() + 1);
  return 1;
}

std::string SsFile::getChars(const std::string& key) const {
  std::string text;
  if (!getStr(key, text)) return "";
  if (text.size() >= READ_ONLY_MIN_TEXT) {
    size_t mark = text.find(READ_ONLY_MARK);
    if (mark != std::string::npos) text.erase(mark);
  }
  return text;
}

void SsFile::parse() {
  gainIndexMultiplier_ = 1.0f;
  int gain = getInt("gain", 0);
  if (gain >= 0 && gain <= GAIN_INDEX_MAX) gainIndexMultiplier_ = GAIN_TABLE[gain];

  station_ = textField(*this, "sitename", SS_TEXT_FIELD_MAX);
  network_ = textField(*this, "network_code", SS_TEXT_FIELD_MAX);
  location_ = textField(*this, "location_id", SS_TEXT_FIELD_MAX);
  serialNo_ = hasKey(SERIAL_KEY) ? textField(*this, SERIAL_KEY, SS_TIME_TEXT_MAX) : SERIAL_MISSING;

  cpv_ = getFloat("cpv", CPV_DEFAULT);
  sensA_ = getFloat("sens", 1.0f);
  sensA_ = getFloat("custom_sensitivity", sensA_);
  sensA_ = getFloat("custom_sensitivity_A_0", sensA_);
  sensB_ = getFloat("custom_sensitivity_B", sensA_);

  serialNoInt_ = leadingHex(serialNo_);
  sampleRate_ = getInt("sampling_rate", 1);
  logLevel_ = getInt("log_level", -1);
  buildNo_ = getInt("build_number", SS_BUILD_DEFAULT);
  gainA_ = getFloat("gain_A_0", gainIndexMultiplier_);
  gainB_ = getFloat("gain_B_0", 1.0f);

  float product = gainA_ * cpv_ * sensA_;
  multiplier_ = product > 0 ? 1.0f / product : 1.0f;
  unitsA_ = textField(*this, "unit", SS_TEXT_FIELD_MAX);
  unitsB_ = textField(*this, "unit_B", SS_TEXT_FIELD_MAX);

  settingsTime_ = textField(*this, "time", SS_TIME_TEXT_MAX);
  if (settingsTime_.size() == SS_SETTINGS_TIME_LEN) {
    histogramTime_ = settingsTime_.substr(0, SETTINGS_TIME_HOUR_END) + ":" +
                     settingsTime_.substr(SETTINGS_TIME_HOUR_END, TWO_DIGITS) + ":" +
                     settingsTime_.substr(SETTINGS_TIME_SECONDS_AT, TWO_DIGITS);
  } else {
    histogramTime_.clear();
  }

  voltage_ = getFloat("v_supply", 0);
  temperature_ = getFloat("temperature", 0);
  sats_ = getInt("sats", 0);
  longitude_ = getFloat("long", 0);
  latitude_ = getFloat("lat", 0);
  altitude_ = getFloat("alt", 0);
  percentFree_ = getFloat("card_free_pc", 0);

  peaks_[0].parse(textField(*this, "last_peak 0", SS_PEAK_TEXT_MAX));
  peaks_[1].parse(textField(*this, "last_peak 1", SS_PEAK_TEXT_MAX));
}

const PeakVals& SsFile::peak(int i) const {
  static const PeakVals EMPTY;
  return i >= 0 && i < SS_NUM_PEAKS ? peaks_[i] : EMPTY;
}

bool SsFile::hasCh4() const {
  int active = getInt("ch4_active", CH4_UNKNOWN);
  if (active != CH4_UNKNOWN) return active == 1;
  return hasKey("location_B_0");
}

int SsFile::countChans(const char* prefix, const char* vsumKey) const {
  int n = hasCh4() ? CHANS_WITH_CH4 : CHANS_WITHOUT_CH4;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (getInt(sformat("%s%d]", prefix, i), CHAN_UNKNOWN) == 1) ++count;
  }
  if (getInt(vsumKey, CHAN_UNKNOWN) == 1) ++count;
  return count;
}

int SsFile::numStoringChans() const { return countChans("storing_chan[", "storing_vsum"); }

int SsFile::numTeleChans() const { return countChans("tele_chan[", "tele_vsum"); }

std::string SsFile::getResponsePath() const {
  std::string base;
  if (MODE == MODE_PI) {
    base = PI_RAMDISK;
  } else if (MODE == MODE_TIDORA || MODE == MODE_WINSERVICE) {
    base = LUMETRAFILES;
  } else {
    base = BASE_DIR;
  }
  // The station name is the instrument's "sitename": one safe path element.
  return sformatBounded(SS_RESPONSE_PATH_MAX, "%s/response/%s.xml", base.c_str(),
                        safePathCode(station_).c_str());
}

int SsFile::writeDownload(const std::string& folderName, Log* log) {
  if (folderName.size() < SS_DOWNLOAD_NAME_MIN) return 0;
  std::string path = sformatBounded(SS_DOWNLOAD_PATH_MAX, "%s%s/%s", DOWNLOAD_DIR.c_str(),
                                    folderName.c_str(), SS_FILE_NAME);
  if (log != nullptr) log->addfVerbose("Writing %s", path.c_str());
  return write(path);
}
