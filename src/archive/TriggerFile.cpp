#include "archive/TriggerFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "core/Log.h"
#include "protocol/SelvomaPacket.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

const char TriggerFile::XML_FORMAT[] =
    "<trigger>\n  <station>%s</station>\n  <network>%s</network>\n  <location>%s</location>\n"
    "  <channel>%s</channel>\n  <triggertype>%s</triggertype>\n"
    "  <time>%04d-%02d-%02d %02d%02d %02d.%03d</time>\n</trigger>\n\n";

const char TriggerFile::XML_PEAK_FORMAT[] =
    "<trigger>\n  <station>%s</station>\n  <network>%s</network>\n  <location>%s</location>\n"
    "  <channel>%s</channel>\n  <triggertype>5 MAX</triggertype>\n  <peak>%.6f</peak>\n"
    "  <peakunits>%s</peakunits>\n  <time>%04d-%02d-%02d %02d%02d %02d.%03d</time>\n</trigger>\n\n";

namespace {

constexpr long MICROS_PER_MILLI = 1000;

struct tm utc(time_t t) {
  struct tm broken {};
  gmtm(&broken, t);
  return broken;
}

int millis(long microseconds) {
  const long clamped = std::min(std::max(microseconds, 0L), TriggerFile::MICROS_MAX);
  return static_cast<int>(clamped / MICROS_PER_MILLI);
}

}  // namespace

std::string TriggerFile::getTriggerText(int type) {
  return sformatBounded(TEXT_MAX, "%d %s", type, alarmName(type));
}

bool TriggerFile::isSeismic(int type) {
  return type == 3 || type == 4 || type == 5 || type == 7 || type == 8;
}

std::string TriggerFile::makeXml(const std::string& network, const std::string& station,
                                 const std::string& location, const std::string& channel,
                                 const std::string& triggerText, time_t t, long microseconds) {
  const struct tm b = utc(t);
  return sformatBounded(ENTRY_MAX, XML_FORMAT, station.c_str(), network.c_str(), location.c_str(),
                        channel.c_str(), triggerText.c_str(), b.tm_year + 1900, b.tm_mon + 1,
                        b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec, millis(microseconds));
}

std::string TriggerFile::makePeakXml(const std::string& network, const std::string& station,
                                     const std::string& location, const std::string& channel,
                                     double peak, const std::string& units, time_t t,
                                     long microseconds) {
  const struct tm b = utc(t);
  return sformatBounded(ENTRY_MAX, XML_PEAK_FORMAT, station.c_str(), network.c_str(),
                        location.c_str(), channel.c_str(), peak, units.c_str(), b.tm_year + 1900,
                        b.tm_mon + 1, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec,
                        millis(microseconds));
}

bool TriggerFile::writeFile(const std::string& path, const std::string& text, Log* log) {
  if (log != nullptr) log->add(text.c_str());
  if (path.empty()) {
    logLine(log, LOG_ADD, "Cannot write Trigger path is NULL!\n");
    return false;
  }
  FILE* f = fopen(path.c_str(), "a");
  if (f == nullptr) {
    logLine(log, LOG_ADD, "Cannot write Trigger file: %s\n", path.c_str());
    return false;
  }
  const size_t written = fwrite(text.data(), 1, text.size(), f);
  const bool closed = fclose(f) == 0;
  chmod(path.c_str(), MODE_SHARED_FILE);
  touchFile(path, FILE_AGE_SECS);
  return written > 0 && closed;
}

bool TriggerFile::makeFile(const std::string& path, const std::string& network,
                           const std::string& station, const std::string& location,
                           const std::string& channel, const std::string& triggerText, time_t t,
                           long microseconds, Log* log) {
  return writeFile(path, makeXml(network, station, location, channel, triggerText, t, microseconds),
                   log);
}

bool TriggerFile::makePeakFile(const std::string& path, const std::string& network,
                               const std::string& station, const std::string& location,
                               const std::string& channel, double peak, const std::string& units,
                               time_t t, long microseconds, Log* log) {
  return writeFile(
      path, makePeakXml(network, station, location, channel, peak, units, t, microseconds), log);
}
