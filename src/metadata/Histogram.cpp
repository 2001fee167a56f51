#include "metadata/Histogram.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/Log.h"
#include "core/VhProps.h"
#include "metadata/SsFile.h"
#include "util/Dirs.h"
#include "util/StrToTm.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr int HOUR_SECS = 3600;
constexpr int MINUTE_SECS = 60;
constexpr char DREMO_FOLDER[] = "histogram";
constexpr char DREMO_NAME_FORMAT[] = "%Y-%m-%d.csv";
constexpr char TIME_COLUMN[] = "datetime";
constexpr char ROW_TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";

constexpr char HEADER_START[] =
    "# Histogram & SOH\n# Site=%s\n# Serial=%s\n# sensor:\n#   \"sens\"=%.6f\n"
    "#   \"unit\"=\"%s\"\n";
constexpr char HEADER_CH4[] = "# sensor channel O:\n#   \"sens_B\"=%.6f\n#   \"unit_B\"=\"%s\"\n";
constexpr char HEADER_END[] =
    "# recorder:\n#   \"cpv\"=%.1f\n#   \"gain\"=%.4f\n"
    "\"datetime\",\"sum raw\",\"sum %s\",\"chO raw\",\"chO %s\",\"Voltage\",\"Temperature\","
    "\"Latitude\",\"Longitude\",\"Altitude(m)\",\"Sats\",\"hAcc\",\"vAcc\",\"vcxo\",\"%% Free\"\n"
    "%s,%.1f,%.6f,%.1f,%.6f,%.2f,%.1f,%.5f,%.5f,%.2f,%d,%.1f,%.1f,%d,%.5f\n";

// The fields of one CSV line (no quoting rules beyond the surrounding
// quotes that unquote() removes); at most HISTOGRAM_COLUMNS_MAX + 1, so a
// line with too many is seen as such without holding them all.
std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos || fields.size() > HISTOGRAM_COLUMNS_MAX) break;
    start = comma + 1;
  }
  return fields;
}

std::string unquote(const std::string& field) {
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
    return field.substr(1, field.size() - 2);
  }
  return field;
}

bool printableLine(const std::string& line) {
  for (char c : line)
    if (!isPrintableAscii(static_cast<unsigned char>(c))) return false;
  return true;
}

bool readRow(const std::vector<std::string>& fields, size_t columns, HistogramRow* row) {
  if (fields.size() != columns) return false;
  struct tm broken = {};
  const char* end = strToTm(fields[0].c_str(), ROW_TIME_FORMAT, &broken);
  if (end == nullptr || *end != '\0') return false;
  row->time = tmToTime_t(broken);
  row->values.clear();
  for (size_t i = 1; i < fields.size(); ++i) {
    const char* text = fields[i].c_str();
    char* stop = nullptr;
    errno = 0;
    double value = strtod(text, &stop);
    if (stop == text || *stop != '\0' || errno != 0 || !std::isfinite(value)) return false;
    row->values.push_back(value);
  }
  return true;
}

}  // namespace

bool parseHistogramFile(const char* data, size_t length, HistogramTable* out, std::string* error) {
  *out = HistogramTable();
  if (length > HISTOGRAM_FILE_MAX) {
    *error =
        sformat("histogram file of %zu bytes (at most %zu are read)", length, HISTOGRAM_FILE_MAX);
    return false;
  }
  size_t lineNumber = 0;
  size_t position = 0;
  while (position < length) {
    const char* start = data + position;
    const void* newline = memchr(start, '\n', length - position);
    size_t lineLength =
        newline != nullptr ? static_cast<const char*>(newline) - start : length - position;
    position += lineLength + 1;
    ++lineNumber;
    if (lineLength > 0 && start[lineLength - 1] == '\r') --lineLength;
    if (lineLength == 0 || start[0] == '#') continue;
    std::string line(start, std::min(lineLength, HISTOGRAM_LINE_MAX + 1));
    bool good = lineLength <= HISTOGRAM_LINE_MAX && printableLine(line);
    if (out->columns.empty()) {
      std::vector<std::string> names = good ? splitFields(line) : std::vector<std::string>();
      if (names.size() < 2 || names.size() > HISTOGRAM_COLUMNS_MAX ||
          unquote(names[0]) != TIME_COLUMN) {
        *error = sformat("line %zu is no histogram header", lineNumber);
        return false;
      }
      for (const std::string& name : names) out->columns.push_back(unquote(name));
      continue;
    }
    HistogramRow row;
    if (good && readRow(splitFields(line), out->columns.size(), &row)) {
      out->rows.push_back(std::move(row));
    } else {
      if (out->rejected == 0) out->firstRejected = lineNumber;
      ++out->rejected;
    }
  }
  if (out->columns.empty()) {
    *error = "no histogram header";
    return false;
  }
  return true;
}

Histogram::Histogram() : lastRequestTime_(time(nullptr)) { archive_.setEnabled(false); }

Histogram::~Histogram() = default;

void Histogram::readProperties(VhProps& props) {
  int minutes = props.getIntKey("histogramminutes");
  intervalSecs_ =
      minutes > 0 ? static_cast<time_t>(minutes) * MINUTE_SECS : HISTOGRAM_INTERVAL_DEFAULT_SECS;
  nextRequestTime_ = getNiceNextTime(now());
  if (MODE == MODE_TIDORA) {
    mode_ = HISTOGRAM_OFF;
    archive_.setTemplate(VhProps::findKey("histogramarchive")->defTidora);
  } else {
    mode_ = props.getIntKey("histogramenabled");
    archive_.setTemplate(props.getTextKey("histogramarchive"));
  }
  archive_.setEnabled(mode_ >= HISTOGRAM_INSTRUMENT);
}

time_t Histogram::getNiceNextTime(time_t t) const {
  const time_t interval = intervalSecs_;  // above 0: readProperties keeps it so
  const time_t s = interval * ((t % HOUR_SECS / MINUTE_SECS * MINUTE_SECS) / interval + 1);
  const time_t n = t / HOUR_SECS * HOUR_SECS + s;
  if (s != 0 && s != HOUR_SECS) return n;
  return t < n - HISTOGRAM_HOUR_LEAD_SECS ? n - HISTOGRAM_HOUR_LEAD_SECS : n + interval;
}

time_t Histogram::isTime() {
  const time_t t = now();
  if (t <= nextRequestTime_) return 0;
  const time_t due = nextRequestTime_;
  nextRequestTime_ = getNiceNextTime(t);
  return due;
}

std::string Histogram::getDremoFilename(time_t t) {
  return formatUtc(t - HISTOGRAM_DAY_LAG_SECS, DREMO_NAME_FORMAT);
}

std::string Histogram::getDremoPath(time_t t) {
  lastRequestTime_ = t;
  return sformat("/%s/%s", DREMO_FOLDER, getDremoFilename(t).c_str());
}

std::string Histogram::getLocalPath(time_t t, const std::string& network,
                                    const std::string& station, uint32_t id) {
  if (archive_.getTemplate().empty()) return std::string();
  struct tm broken;
  gmtm(&broken, t);
  return archive_.getPath(network, station, id, broken, 0, HISTOGRAM_EXTENSION, false);
}

std::string Histogram::text(const SsFile& s) const {
  const bool ch4 = s.hasCh4();
  std::string header = sformat(HEADER_START, s.getStation().c_str(), s.getSerialNo().c_str(),
                               s.getSensA(), s.getUnitsA().c_str());
  if (ch4) header += sformat(HEADER_CH4, s.getSensB(), s.getUnitsB().c_str());
  const std::string rest =
      sformat(HEADER_END, s.getCpv(), s.getGainA(), s.getPeakUnits(0).c_str(),
              s.getPeakUnits(1).c_str(), time_tToStr(now()).c_str(), 0.0, s.getPeak(0), 0.0,
              ch4 ? s.getPeak(1) : 0.0, s.getVoltage(), s.getTemperature(), s.getLatitude(),
              s.getLongitude(), s.getAltitude(), s.getSats(), 0.0, 0.0, 0, s.getPercentFree());
  return bounded(header + rest, HISTOGRAM_TEXT_MAX);
}

std::string Histogram::write(const SsFile& settings, Log* log) {
  const time_t t = now();
  std::string path =
      getLocalPath(t, settings.getNetwork(), settings.getStation(), settings.getSerialNoInt());
  if (path.empty()) {
    logLine(log, LOG_ADD, "FAIL Histogram: PATH=NULL");
    return path;
  }
  archive_.mkdirs(settings.getNetwork(), settings.getStation(), settings.getSerialNoInt(), t, 0,
                  HISTOGRAM_EXTENSION, false);
  const std::string record = text(settings);
  FILE* file = fopen(path.c_str(), "w");
  bool written = file != nullptr && fwrite(record.data(), 1, record.size(), file) == record.size();
  if (file != nullptr && fclose(file) != 0) written = false;
  logLine(log, LOG_ADD, "%s Histogram: [%s]", written ? "Write" : "FAIL", path.c_str());
  return path;
}
