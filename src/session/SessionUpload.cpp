// What the session sends from its station's upload folder and flash list,
// and the files the instrument asks the hub for (REQUEST_FILE).
#include <cctype>
#include <cstring>

#include "core/Log.h"
#include "gaps/Gapses.h"
#include "session/SeisServerState.h"
#include "triggers/TriggerZip.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr int UPLOAD_IDLE_CHECK_MS = 1000;  // an empty upload queue is looked at again after this
constexpr size_t ACTIVITY_TEXT_MAX = 80;    // characters of "Start uploading: %s"
constexpr int KB_EVERY_PARTS = 10;          // upload progress entries every this many parts
constexpr char SRC_PREFIX[] = "SRC=";
constexpr char WAVE_PREFIX[] = "WAVE=";
constexpr char SITES_PREFIX[] = "sites";
constexpr char NETWORK_KEY[] = "network=";
constexpr char TIME_KEY[] = "time=";
constexpr char SETTINGS_MARK[] = ".ss";
constexpr size_t SITE_MAX = 9;               // characters of a relayed site name
constexpr size_t SS_STATION_MAX = 6;         // station codes of ".ss" requests
constexpr size_t NETWORK_MAX = 4;            // characters of a "network=" value
constexpr size_t TIME_VALUE_MAX = 30;        // characters of a "time=" value
constexpr size_t INFO_TEXT_MAX = 94;         // characters of the information part
constexpr size_t STATION_FOLDER_SCAN = 999;  // download folders looked at
constexpr size_t ID_DIGITS = 8;              // hexadecimal digits of an instrument id
constexpr size_t WAVE_TIME_DIGITS = 12;      // "YYYYMMDDhhmm" of a waveform request
constexpr size_t WAVE_TEXT_MIN = 19;         // shorter waveform requests are refused
constexpr int WAVE_MINUTES_MAX = 60;         // minutes one waveform request may cover
constexpr time_t SECONDS_PER_MINUTE = 60;
constexpr int MIN_YEAR = 1970;
constexpr int MAX_YEAR = 2100;

// "WAVE=YYYYMMDDhhmm,<minutes>,<station>": the start (UTC), the minutes and
// the station, which may be empty. False when the text does not match or
// the time or count are out of range.
bool parseWaveRequest(const std::string& text, time_t* start, int* minutes, std::string* station) {
  const size_t from = strlen(WAVE_PREFIX);
  if (text.size() < WAVE_TEXT_MIN || text[from + WAVE_TIME_DIGITS] != ',') return false;
  for (size_t i = from; i < from + WAVE_TIME_DIGITS; ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  auto field = [&](size_t at, size_t n) { return atoi(text.substr(from + at, n).c_str()); };
  struct tm tm = {};
  tm.tm_year = field(0, 4) - 1900;
  tm.tm_mon = field(4, 2) - 1;
  tm.tm_mday = field(6, 2);
  tm.tm_hour = field(8, 2);
  tm.tm_min = field(10, 2);
  if (tm.tm_year + 1900 < MIN_YEAR || tm.tm_year + 1900 > MAX_YEAR || tm.tm_mon > 11 ||
      tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59) {
    return false;
  }
  const std::string rest = text.substr(from + WAVE_TIME_DIGITS + 1);
  const size_t comma = rest.find(',');
  if (comma == 0 || comma == std::string::npos) return false;
  for (size_t i = 0; i < comma; ++i) {
    if (!isdigit(static_cast<unsigned char>(rest[i]))) return false;
  }
  *minutes = atoi(rest.substr(0, comma).c_str());
  *start = tmToTime_t(tm);
  *station = rest.substr(comma + 1);
  return *minutes >= 1 && *minutes <= WAVE_MINUTES_MAX;
}

// The time of a site information request, after "time=": the hub's time
// text or Unix seconds; 0 when it is neither.
time_t siteInfoTime(const std::string& name) {
  const size_t at = name.find(TIME_KEY);
  if (at == std::string::npos) return 0;
  const std::string value = name.substr(at + strlen(TIME_KEY), TIME_VALUE_MAX);
  const time_t t = strToTime_t(value.c_str());
  return t > 0 ? t : static_cast<time_t>(strtoll(value.c_str(), nullptr, 10));
}

// The site information's view of the extract archive: one minute of one
// station at a time.
class ExtractWaveforms : public SiteWaveforms {
 public:
  ExtractWaveforms(ArchiveFile& extract, Log* log) : extract_(extract), log_(log) {}
  std::vector<std::string> getWaveFilePaths(time_t minute, const std::string& station,
                                            const std::string& network) override {
    std::vector<std::string> list;
    // Zero minutes past the start: that minute alone.
    TriggerZip::getWaveFilePaths(list, extract_, network, {station}, minute, 0, false,
                                 std::string(), ChannelNames(), false, log_);
    return list;
  }
  int numChannelsInZipFile(const std::string& path) override {
    time_t first = 0;
    return Miniseed::numChannelsInZipFile(path, &first);
  }

 private:
  ArchiveFile& extract_;
  Log* log_;
};

// The value after key in text, up to a blank, "," or "&", at most max characters.
std::string valueAfter(const std::string& text, const char* key, size_t max) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + strlen(key);
  const size_t end = text.find_first_of(" ,&", from);
  return text.substr(from, std::min(max, (end == std::string::npos ? text.size() : end) - from));
}

std::vector<uint8_t> partPayload(uint16_t number, const uint8_t* data, size_t n) {
  std::vector<uint8_t> payload(FILE_PART_INDEX_LENGTH + n);
  payload[0] = static_cast<uint8_t>(number & 0xff);
  payload[1] = static_cast<uint8_t>(number >> 8);
  if (n > 0) memcpy(payload.data() + FILE_PART_INDEX_LENGTH, data, n);
  return payload;
}

}  // namespace

bool SeisServerState::sendFlashBlock() {
  if (!flash_.enabled()) return false;
  const uint8_t nextSeq = SelvomaPacket::incrementSeqNo(vhSeq_);
  std::unique_ptr<SelvomaPacket> block = flash_.getNextPacket(nextSeq);
  // The session reads between blocks: the instrument's answers let the next one go.
  state_ = READ;
  if (block) {
    outgoing_ = *block;
    outgoing_.sourceId = ownId_;
    outgoing_.destId = instrumentId();
    vhSeq_ = nextSeq;
    if (send() == FINISH) state_ = FINISH;
  }
  if (!flash_.isBusy()) return false;
  pprintf("\nFLASH IS BUSY");
  return true;
}

bool SeisServerState::checkForUpload() {
  const int64_t now = monoMs();
  if (now <= nextUploadCheckMs_) return false;
  // The folder is known once the station is.
  const std::string station = archive_.getStation().empty() ? std::string() : stationLabel_;
  if (!upload_.hasPackets(station)) {
    nextUploadCheckMs_ = now + UPLOAD_IDLE_CHECK_MS;
    return false;
  }
  nextUploadCheckMs_ = now - UPLOAD_CHECK_SLACK_MS;
  std::unique_ptr<SelvomaPacket> packet = upload_.getNextPacket(station, vhSeq_);
  if (!packet) return false;
  if (packet->type == SelvomaPacket::COMMAND) {
    std::string text = packet->textPayload(0, COMMAND_TEXT_MAX);
    if (text.rfind("trigge", 0) == 0 || text.rfind("vftp", 0) == 0) packet->local = true;
  }
  if (packet->local) {
    packet->seqNo = vhSeq_;
    packet->sourceId = instrumentId();
    packet->destId = ownId_;
    received_ = *packet;
    state_ = PROCESS_LOCAL;
    logLine(log_, LOG_VERBOSE, "%6d RF%s", 0, received_.toString(1).c_str());
    return true;
  }
  if (!dremoFiles_.isIdle() && packet->type != SelvomaPacket::COMMAND) {
    logLine(log_, LOG_ADD, "PUSHBACK COMMAND PACKET [%s] isIdle=%d state=%d messageID=%d",
            packet->toString(1).c_str(), 0, state_.load(), packet->type);
    upload_.addPacket(std::move(packet));
    return false;
  }
  packet->sourceId = ownId_;
  packet->destId = instrumentId();
  bool written = true;
  const std::string text = packet->textPayload(0, COMMAND_TEXT_MAX);
  switch (packet->type) {
    case SelvomaPacket::REQUEST_FILE_TIME: {
      // A client asks for the data of a minute: backfilled like a gap.
      const time_t t = strToTime_t(text.c_str());
      logLine(log_, LOG_ADD, "      REQUEST FILE TIME [%s]", text.c_str());
      if (t > 0) {
        requestTime(t);
      } else {
        logLine(log_, LOG_ADD, "REQUEST FILE TIME [%s]: not a time", text.c_str());
      }
      break;
    }
    case SelvomaPacket::REQUEST_FILE:
      logLine(log_, LOG_ADD, "      REQUEST FILE     [%s]", text.c_str());
      if (!text.empty()) dremoFiles_.requestFile(text, DremoFiles::OTHER);
      break;
    case SelvomaPacket::START_SEND_FILE:
      activity_.write(
          bounded("Start uploading: " + packet->textStartSendFilePayload(), ACTIVITY_TEXT_MAX));
      vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
      packet->seqNo = vhSeq_;
      written = rw_.write(packet.get());
      lastRxTic_ = monoMs();
      break;
    case SelvomaPacket::FILE_PART: {
      FilePart part;
      if (packet->getFilePart(&part)) {
        if (part.partNumber == 1) ssTimer_.pause(UPLOAD_PAUSE_FILE_PART_SECS);
        if (part.partNumber % KB_EVERY_PARTS == 0 && !part.data.empty()) {
          activity_.write(sformat("%d kB", part.partNumber / 2));
        }
      }
      if (packet->payloadLen() == static_cast<int>(FILE_PART_INDEX_LENGTH)) {
        const bool complete = upload_.isInProgress();
        activity_.write(complete ? "upload complete" : "upload failed");
        logLine(log_, LOG_ADD, "Upload %s [%s]", complete ? "complete" : "failed",
                upload_.currentName().c_str());
        if (complete && upload_.currentName().find("Selvoma") != std::string::npos) {
          upload_.addCommand("sampling 1");
          upload_.addCommand("sleep 5");
          upload_.addCommand("reboot");
        }
      }
      vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
      packet->seqNo = vhSeq_;
      lastRxTic_ = monoMs();
      written = rw_.write(packet.get());
      break;
    }
    case SelvomaPacket::COMMAND:
      vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
      packet->seqNo = vhSeq_;
      written = rw_.write(packet.get());
      if (written && text.find("reboot") != std::string::npos) {
        activity_.write(text);
        state_ = FINISH;
      }
      break;
    default:
      vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
      packet->seqNo = vhSeq_;
      written = rw_.write(packet.get());
      break;
  }
  if (!written) {
    logLine(log_, LOG_ADD, "BAD send rw.send().  FINISH");
    state_ = FINISH;
  }
  if (state_ != FINISH) state_ = READ;
  return true;
}

std::string SeisServerState::findStationFolder(const std::string& station) const {
  std::string best;
  time_t bestTime = -1;
  forEachEntry(DOWNLOAD_DIR, STATION_FOLDER_SCAN, [&](const char* name, const std::string& path) {
    const std::string entry(name);
    // "<station>.<id8>", nothing else.
    if (entry.size() != station.size() + 1 + ID_DIGITS ||
        entry.compare(0, station.size(), station) != 0 || entry[station.size()] != '.' ||
        !isDir(path)) {
      return true;
    }
    for (size_t i = station.size() + 1; i < entry.size(); ++i) {
      if (!isxdigit(static_cast<unsigned char>(entry[i]))) return true;
    }
    const time_t t = fileModifiedTime(path + "/" + SS_FILE_NAME);
    if (t > bestTime) {
      bestTime = t;
      best = entry;
    }
    return true;
  });
  return best;
}

void SeisServerState::processRequestFile(const std::string& name) {
  if (name.empty()) return;
  clearRequestedFile();
  logLine(log_, LOG_ADD, "Requested file = %s\n", name.c_str());
  std::string path, type;
  if (name.rfind(SRC_PREFIX, 0) == 0) {
    logLine(log_, LOG_ADD, "File Requests from Dremo='%s'", name.c_str());
    std::string site, file;
    if (splitStr(name.substr(strlen(SRC_PREFIX)), ',', site, file) && !site.empty() &&
        !file.empty()) {
      site = site.substr(0, SITE_MAX);
      logLine(log_, LOG_ADD, "Pieces: site='%s', file='%s'", site.c_str(), file.c_str());
      requestFiles_.makeRequestFileFile(site, file, 0);
    } else {
      logLine(log_, LOG_ADD, "Request [%s] names no site and file: ignored", name.c_str());
    }
    return;
  }
  if (name.rfind(WAVE_PREFIX, 0) == 0) {
    time_t start = 0;
    int minutes = 0;
    std::string station;
    bool ok = parseWaveRequest(name, &start, &minutes, &station);
    // A register name "<station>.<id8>", or a bare station code standing for
    // that station's newest download folder; empty: the whole network.
    if (ok && !station.empty()) {
      ok = station.size() <= SITE_NAME_MAX && safePathCode(station) == station;
      if (ok && station.find('.') == std::string::npos) {
        station = station.size() <= SS_STATION_MAX ? findStationFolder(station) : "";
        ok = !station.empty();
      }
    }
    if (!ok) {
      logLine(log_, LOG_ADD, "Waveform request [%s] refused: end part only", name.c_str());
      pendingFileParts_.push_back(partPayload(1, nullptr, 0));
      return;
    }
    // An empty result still answers with the end part.
    uploadRequestedFile(makeWaveFile(start, minutes, station, archive_.getNetwork()), "WAVE");
    if (pendingFileParts_.empty()) pendingFileParts_.push_back(partPayload(1, nullptr, 0));
    return;
  }
  if (name.find(SETTINGS_MARK) != std::string::npos) {
    const std::string station = name.substr(0, name.find('.'));
    type = "STATUS";
    if (station.size() > SS_STATION_MAX || station.empty() || safePathCode(station) != station) {
      logLine(log_, LOG_ADD, "Settings request [%s] names no station", name.c_str());
      return;
    }
    const std::string folder = findStationFolder(station);
    if (folder.empty()) {
      logLine(log_, LOG_ADD, "Settings request [%s]: no folder of station %s", name.c_str(),
              station.c_str());
      pendingFileParts_.push_back(partPayload(1, nullptr, 0));
      return;
    }
    path = DOWNLOAD_DIR + folder + "/" + SS_FILE_NAME;
  } else if (name.rfind(SITES_PREFIX, 0) == 0) {
    type = "SITES";
    const std::string network = safePathCode(valueAfter(name, NETWORK_KEY, NETWORK_MAX));
    const std::string folder = network.empty() ? DOWNLOAD_DIR : DOWNLOAD_DIR + network + "/";
    if (name.find(TIME_KEY) != std::string::npos) {
      const time_t t = siteInfoTime(name);
      ExtractWaveforms waves(archive_.getExtractArchive(), log_);
      if (t <= 0) {
        logLine(log_, LOG_ADD, "Site information request [%s]: no time", name.c_str());
      } else if (siteFolder_.writeSiteInfosFile(DOWNLOAD_DIR, network, t, waves,
                                                ssFile_.numStoringChans())) {
        path = folder + "siteinfos";
      }
      lastRxTic_ = monoMs();
      if (path.empty()) {
        pendingFileParts_.push_back(partPayload(1, nullptr, 0));
        return;
      }
    } else {
      siteFolder_.writeSitesFile(DOWNLOAD_DIR, network, log_);
      path = folder + "sites";
    }
  } else {
    logLine(log_, LOG_ADD, "Request [%s] is not understood", name.c_str());
    return;
  }
  uploadRequestedFile(path, type);
}

void SeisServerState::uploadRequestedFile(const std::string& path, const std::string& type) {
  if (path.empty()) return;
  FILE* f = isFile(path) ? fopen(path.c_str(), "rb") : nullptr;
  if (f == nullptr) {
    logLine(log_, LOG_ADD, "Requested file [%s] cannot be read: end part only", path.c_str());
    pendingFileParts_.push_back(partPayload(1, nullptr, 0));
    return;
  }
  std::vector<uint8_t> block(REQUESTED_PART_DATA);
  long bytes = 0;
  int number = 0;
  bool full = false;
  while (true) {
    const size_t n = fread(block.data(), 1, block.size(), f);
    if (n == 0) break;
    if (number == REQUESTED_PARTS_MAX) {
      full = true;
      break;
    }
    ++number;
    bytes += static_cast<long>(n);
    pendingFileParts_.push_back(partPayload(static_cast<uint16_t>(number), block.data(), n));
  }
  fclose(f);
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string info = sformatBounded(INFO_TEXT_MAX, "INFO:bytes=%ld,filename=%s,type=%s",
                                          bytes, base.c_str(), type.c_str());
  pendingFileParts_.push_front(
      partPayload(0, reinterpret_cast<const uint8_t*>(info.data()), info.size()));
  const int end = full ? REQUESTED_PARTS_MAX + 1 : number + 2;
  pendingFileParts_.push_back(partPayload(static_cast<uint16_t>(end), nullptr, 0));
  logLine(log_, LOG_ADD, "Requested file [%s]: %ld bytes in %d parts", path.c_str(), bytes, number);
}

void SeisServerState::completeUploadRequest(time_t start, time_t end) {
  const time_t span = end > start ? (end - start) / SECONDS_PER_MINUTE + 1 : 1;
  const int minutes = static_cast<int>(std::min<time_t>(span, WAVE_MINUTES_MAX));
  if (span > WAVE_MINUTES_MAX) {
    logLine(log_, LOG_ADD, "Upload request of %ld minutes cut to %d", static_cast<long>(span),
            minutes);
  }
  const std::string path = makeWaveFile(start, minutes, std::string(), archive_.getNetwork());
  if (path.empty()) return;
  clearRequestedFile();
  uploadRequestedFile(path, "WAVE");
}

bool SeisServerState::nextPendingFilePart() {
  if (pendingFileParts_.empty()) return false;
  const std::vector<uint8_t> payload = std::move(pendingFileParts_.front());
  pendingFileParts_.pop_front();
  vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
  outgoing_.make(SelvomaPacket::FILE_PART, ownId_, instrumentId(), vhSeq_, payload.data(),
                 static_cast<int>(payload.size()));
  return true;
}
