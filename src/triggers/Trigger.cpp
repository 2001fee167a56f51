#include "triggers/Trigger.h"

#include <libmseed.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/TriggerFile.h"
#include "core/Log.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char TIME_KEY[] = "time:";
constexpr size_t BROADCAST_TEXT_MAX = 99;
constexpr size_t BROADCAST_PATH_MAX = 299;

bool isBroadcastType(int type) { return type == 3 || type == 4 || type == 5 || type == 7; }

}  // namespace

Trigger::Trigger() : clock_([] { return time(nullptr); }) {
  for (ArchiveFile& a : trigWave_) a.setEnabled(false);
}

void Trigger::setArchive(const std::string& xmlTemplate, const std::string& trigWave1,
                         const std::string& trigWave2, ArchiveFile* wave1, ArchiveFile* wave2) {
  xmlArchive_.init();
  xmlArchive_.setTemplate(xmlTemplate);
  const std::string waves[2] = {trigWave1, trigWave2};
  for (int i = 0; i < 2; ++i) {
    trigWave_[i].init();
    trigWave_[i].setTemplate(waves[i]);
    trigWave_[i].setEnabled(!waves[i].empty());
  }
  waveArchives_ = {wave1, wave2};
}

bool Trigger::isPlausibleTime(time_t t) const {
  const time_t now = clock_();
  return t >= now - TIME_PAST_MAX_SECS && t <= now + TIME_FUTURE_MAX_SECS;
}

bool Trigger::takeEntryBudget() {
  const time_t minute = clock_() / 60;
  if (minute != budgetMinute_) {
    budgetMinute_ = minute;
    budgetUsed_ = 0;
    budgetLogged_ = false;
  }
  if (budgetUsed_ < ENTRIES_PER_MINUTE_MAX) {
    ++budgetUsed_;
    return true;
  }
  if (!budgetLogged_) {
    logLine(log_, LOG_ADD, "Trigger storm: more than %d trigger entries this minute, not written",
            ENTRIES_PER_MINUTE_MAX);
    budgetLogged_ = true;
  }
  return false;
}

bool Trigger::writeTrigger(const SelvomaPacket& packet, const std::string& network,
                           const std::string& station, const std::string& location,
                           const std::string& verticalChannel, uint32_t id) {
  SelTrigger record;
  if (!packet.getSelTrigger(&record)) {
    logLine(log_, LOG_ADD, "Trigger payload of %d bytes holds no trigger record",
            packet.payloadLen());
    return false;
  }
  const time_t t = SelvomaPacket::selTimeToTime_t(static_cast<uint32_t>(record.time));
  if (!isPlausibleTime(t)) {
    logLine(log_, LOG_ADD, "Trigger time %s out of range, ignored", time_tToStr(t).c_str());
    return false;
  }
  const time_t now = clock_();
  const bool ownAfterBroadcast =
      lastTriggerType_ == BROADCAST_TYPE && record.alarmType != BROADCAST_TYPE;
  if (!ownAfterBroadcast && rejectPeriod_ > now - lastTriggerTime_) {
    logLine(log_, LOG_ADD, "Trigger rejected.  Too early %d<%dsecs",
            static_cast<int>(now - lastTriggerTime_), rejectPeriod_);
    return false;
  }
  lastTriggerType_ = record.alarmType;
  if (TriggerFile::isSeismic(record.alarmType)) lastTriggerTime_ = now;
  if (!takeEntryBudget()) return false;
  return writeTrig(network, station, location, verticalChannel, id,
                   TriggerFile::getTriggerText(record.alarmType), t,
                   std::min<long>(record.usec, TriggerFile::MICROS_MAX));
}

bool Trigger::writeTrig(const std::string& network, const std::string& station,
                        const std::string& location, const std::string& channel, uint32_t id,
                        const std::string& triggerText, time_t t, long microseconds) {
  const std::string entry =
      TriggerFile::makeXml(network, station, location, channel, triggerText, t, microseconds);
  bool ok = false;
  const std::string path =
      xmlArchive_.mkdirs(network, station, id, t, microseconds, XML_EXTENSION, false);
  if (path.empty()) {
    logLine(log_, LOG_ADD, "Trigger.writeTrig. _xmlArchive template not set.");
  } else {
    ok = TriggerFile::writeFile(path, entry, log_);
    thresholdWritten_ = true;
    logLine(log_, LOG_ADD, ok ? "WRITTEN Trigger %s. %s" : "FAIL WRITING Trigger %s. %s",
            triggerText.c_str(), path.c_str());
  }
  for (ArchiveFile* wave : waveArchives_) {
    if (wave == nullptr || !wave->isEnabled()) continue;
    const std::string besides =
        wave->mkdirs(network, station, id, t, microseconds, WAVE_EXTENSION, false);
    if (besides.empty()) continue;
    ok = TriggerFile::writeFile(besides, entry, log_);
    thresholdWritten_ = true;
    logLine(log_, LOG_ADD, ok ? "WRITTEN Trigger %s. %s" : "FAIL WRITING Trigger %s. %s",
            triggerText.c_str(), besides.c_str());
  }
  return ok;
}

bool Trigger::writePeakTrig(const std::string& network, const std::string& station,
                            const std::string& location, const std::string& channel, uint32_t id,
                            double peak, const std::string& units, time_t t, long microseconds) {
  if (!thresholdWritten_) {
    logLine(log_, LOG_ADD, "No Threshold Trigger. Peak Trig ignored");
    return false;
  }
  thresholdWritten_ = false;
  const std::string entry =
      TriggerFile::makePeakXml(network, station, location, channel, peak, units, t, microseconds);
  bool ok = false;
  const std::string path =
      xmlArchive_.mkdirs(network, station, id, t, microseconds, XML_EXTENSION, false);
  if (path.empty()) {
    logLine(log_, LOG_ADD, "Trigger.writePeakTrig. _xmlArchive template not set.");
  } else {
    ok = TriggerFile::writeFile(path, entry, log_);
    logLine(log_, LOG_ADD, "Peak Trigger. %s", path.c_str());
  }
  for (ArchiveFile* wave : waveArchives_) {
    if (wave == nullptr || !wave->isEnabled()) continue;
    const std::string besides =
        wave->mkdirs(network, station, id, t, microseconds, WAVE_EXTENSION, false);
    if (besides.empty()) continue;
    ok = TriggerFile::writeFile(besides, entry, log_);
    logLine(log_, LOG_ADD, ok ? "WRITTEN Peak Trigger %s" : "FAIL WRITING Peak Trigger %s",
            besides.c_str());
  }
  return ok;
}

int Trigger::writeBroadcasts(const SelvomaPacket& packet, const std::vector<std::string>& stations,
                             const std::string& ownName, int streamSeconds) {
  SelTrigger record;
  if (packet.type != SelvomaPacket::TRIGGER || !packet.getSelTrigger(&record)) return 0;
  const std::string line =
      sformatBounded(BROADCAST_TEXT_MAX, "81-[%08x][%08x][%02x][00][00][08]",
                     static_cast<uint32_t>(record.time), record.usec, record.channelMask);
  const std::string text = triggerBackfill_ ? line
                                            : sformatBounded(BROADCAST_TEXT_MAX, "8A stream %d\n%s",
                                                             streamSeconds, line.c_str());
  if (!isBroadcastType(record.alarmType)) {
    logLine(log_, LOG_ADD, "NO BROADCAST. for: %s", text.c_str());
    return 0;
  }
  logLine(log_, LOG_ADD, "Broadcast Trigger: <%s> %d", text.c_str(),
          static_cast<int>(stations.size()));
  int written = 0;
  for (size_t i = 0; i < stations.size() && i < BROADCAST_STATIONS_MAX; ++i) {
    const std::string& name = stations[i];
    if (name == ownName) {
      logLine(log_, LOG_ADD, "Broadcast skipping self = %s", name.c_str());
      continue;
    }
    // The names come from the site register, a folder other programs may
    // write to: only a plain single path element names an upload folder.
    if (name.empty() || name != safePathCode(name)) {
      logLine(log_, LOG_ADD, "Broadcast skipping [%s]: not a station name", name.c_str());
      continue;
    }
    const std::string folder = UPLOAD_DIR + name + "/";
    mkdirs(folder, true);
    const std::string path = sformatBounded(BROADCAST_PATH_MAX, "%s%ld.trig.pkt", folder.c_str(),
                                            static_cast<long>(static_cast<uint32_t>(record.time)));
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
      logLine(log_, LOG_ADD, "Broadcast trigger OPEN FAIL %s", path.c_str());
      continue;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    const int error = ferror(f);
    const bool closed = fclose(f) == 0;
    if (ok && closed) {
      logLine(log_, LOG_ADD, "BROADCAST trigger to file %s", path.c_str());
      ++written;
    } else {
      logLine(log_, LOG_ADD, "Broadcast trigger WRITE FAIL %s err=%d", path.c_str(), error);
    }
    chmod(path.c_str(), MODE_SHARED_FILE);
    touchFile(path, BROADCAST_FILE_AGE_SECS);
  }
  return written;
}

int Trigger::getTriggerPaths(std::vector<std::string>& list, const std::string& network,
                             const std::string& station, uint32_t id, time_t t) {
  return xmlArchive_.getFilesInMinute(list, network, station, id, t, XML_EXTENSION, log_);
}

int Trigger::getTriggerPaths(std::vector<std::string>& list, const std::string& network,
                             const std::string& station, uint32_t id, time_t t, int before,
                             int after) {
  return xmlArchive_.getFilesInSeconds(list, network, station, id, t, before, after, XML_EXTENSION,
                                       log_);
}

bool Trigger::parseLevelTriggerInfo(const std::string& text, time_t now, LevelTriggerInfo* out) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  const char* start = text.c_str() + equals + 1;
  char* end = nullptr;
  const double peak = strtod(start, &end);
  if (end == start || peak == 0 || !std::isfinite(peak)) return false;
  size_t at = static_cast<size_t>(end - text.c_str());
  while (at < text.size() && text[at] == ' ') ++at;
  std::string units;
  while (at < text.size() && text[at] != ' ' && units.size() < UNITS_MAX) units += text[at++];
  const size_t key = text.find(TIME_KEY, equals);
  if (key == std::string::npos || key + LEVEL_TIME_SKIP > text.size()) return false;
  const char* timeText = text.c_str() + key + LEVEL_TIME_SKIP;
  errno = 0;
  const long long sel = strtoll(timeText, &end, 10);
  if (end == timeText || errno != 0 || sel < 0 || sel > UINT32_MAX) return false;
  std::string fraction = "000000";
  if (*end != '\0') {
    const char* digits = end + 1;
    for (size_t i = 0; i < FRACTION_DIGITS && digits[i] >= '0' && digits[i] <= '9'; ++i) {
      fraction[i] = digits[i];
    }
  }
  out->peak = peak;
  out->units = units;
  out->time = sel == 0 ? now : SelvomaPacket::selTimeToTime_t(static_cast<uint32_t>(sel));
  out->microseconds = atol(fraction.c_str());
  return true;
}

bool Trigger::parseTextTrigger(const std::string& text, SelTrigger* out) {
  if (text.size() <= TEXT_TRIGGER_TIME_AT) return false;
  const char type = text[TEXT_TRIGGER_TYPE_AT];
  if (type < '0' || type > '9' || text[TEXT_TRIGGER_TIME_AT] != '2') return false;
  std::string timeText = text.substr(TEXT_TRIGGER_TIME_AT);
  const hptime_t t = ms_timestr2hptime(&timeText[0]);
  if (t == HPTERROR || t < 0) return false;
  const long long seconds = t / HPTMODULUS - SEL_TIME_OFFSET;
  if (seconds < 0 || seconds > INT32_MAX) return false;
  out->clear();
  out->time = static_cast<int32_t>(seconds);
  out->usec = static_cast<uint32_t>(t % HPTMODULUS);
  out->alarmType = static_cast<uint8_t>(type - '0');
  return true;
}
