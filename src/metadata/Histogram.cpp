#include "metadata/Histogram.h"

#include <cstdint>
#include <cstdio>

#include "core/Log.h"
#include "core/VhProps.h"
#include "metadata/SsFile.h"
#include "util/Dirs.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr time_t SECS_PER_MINUTE = 60;
constexpr time_t SECS_PER_HOUR = 3600;

constexpr char HEADER_START[] =
    "# Histogram & SOH\n# Site=%s\n# Serial=%s\n# sensor:\n#   \"sens\"=%.6f\n"
    "#   \"unit\"=\"%s\"\n";
constexpr char HEADER_CH4[] = "# sensor channel O:\n#   \"sens_B\"=%.6f\n#   \"unit_B\"=\"%s\"\n";
constexpr char HEADER_END[] =
    "# recorder:\n#   \"cpv\"=%.1f\n#   \"gain\"=%.4f\n"
    "\"datetime\",\"sum raw\",\"sum %s\",\"chO raw\",\"chO %s\",\"Voltage\",\"Temperature\","
    "\"Latitude\",\"Longitude\",\"Altitude(m)\",\"Sats\",\"hAcc\",\"vAcc\",\"vcxo\",\"%% Free\"\n"
    "%s,%.1f,%.6f,%.1f,%.6f,%.2f,%.1f,%.5f,%.5f,%.2f,%d,%.1f,%.1f,%d,%.5f\n";

}  // namespace

Histogram::Histogram() { archive_.setEnabled(false); }

Histogram::~Histogram() = default;

void Histogram::readProperties(VhProps& props) {
  if (MODE == MODE_TIDORA) {
    mode_ = HISTOGRAM_OFF;
    archive_.setTemplate(VhProps::findKey("histogramarchive")->defTidora);
  } else {
    mode_ = props.getIntKey("histogramenabled");
    archive_.setTemplate(props.getTextKey("histogramarchive"));
  }
  archive_.setEnabled(mode_ >= HISTOGRAM_INSTRUMENT);
  const int minutes = props.getIntKey("histogramminutes");
  intervalSecs_ = minutes > 0 && minutes <= INT32_MAX / SECS_PER_MINUTE
                      ? static_cast<int>(minutes * SECS_PER_MINUTE)
                      : HISTOGRAM_INTERVAL_DEFAULT_SECS;
  nextRequestTime_ = getNiceNextTime(now());
}

time_t Histogram::getNiceNextTime(time_t t) const {
  const time_t interval = intervalSecs_;
  const time_t hourStart = t - t % SECS_PER_HOUR;
  const time_t wholeMinute = t % SECS_PER_HOUR / SECS_PER_MINUTE * SECS_PER_MINUTE;
  const time_t s = interval * (wholeMinute / interval + 1);
  const time_t next = hourStart + s;
  if (s != 0 && s != SECS_PER_HOUR) return next;
  return t < next - HISTOGRAM_HOUR_LEAD_SECS ? next - HISTOGRAM_HOUR_LEAD_SECS : next + interval;
}

time_t Histogram::isTime() {
  const time_t t = now();
  if (t <= nextRequestTime_) return 0;
  const time_t due = nextRequestTime_;
  nextRequestTime_ = getNiceNextTime(t);
  return due;
}

std::string Histogram::getDremoFilename(time_t t) {
  return formatUtc(t - HISTOGRAM_DAY_BACK_SECS, "%Y-%m-%d.csv");
}

std::string Histogram::getDremoPath(time_t t) {
  return sformat("/%s/%s", HISTOGRAM_DREMO_FOLDER, getDremoFilename(t).c_str());
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
