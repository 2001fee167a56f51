// Inbound COMMAND texts: classification, action and acknowledgement, and
// the setting replies among them.
#include "core/Log.h"
#include "metadata/JsonFile.h"
#include "metadata/StationXml.h"
#include "protocol/Commands.h"
#include "session/SeisServerState.h"
#include "util/Dirs.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr size_t STATION_NAME_MIN = 14;  // "station_name" texts shorter are ignored
constexpr size_t STATION_NAME_AT = 13;   // the name starts at the 14th character
constexpr size_t LEVEL_TRIGGER_MIN = 26;
constexpr size_t LEVEL_TRIGGER_AT = 20;  // the information starts at the 21st character
constexpr size_t TEXT_TRIGGER_MIN = 29;  // "trigger " texts must be longer than 28
constexpr size_t TEXT_TRIGGER_AT = 10;   // the time starts at the 11th character
constexpr size_t VFTP_GET_MIN = 9;       // "vftp_get" texts must be longer than 8
constexpr size_t VFTP_GET_AT = 9;        // the arguments follow the 9th character
constexpr size_t ACK_TEXT_MIN = 3;       // shorter texts are not acknowledged

}  // namespace

int SeisServerState::processCommand(std::string text) {
  if (!text.empty()) {
    for (char& c : text) {
      if (!isPrintableAscii(c)) c = '~';
    }
    const char* t = text.c_str();
    switch (Commands::index(text)) {
      case Commands::DIR:
        logLine(log_, LOG_ADD, "%s", t);
        break;
      case Commands::STATION_NAME:
        if (text.size() >= STATION_NAME_MIN) {
          logLine(log_, LOG_ADD, "STATION_NAME [%s:%s]", t, t + STATION_NAME_AT);
          processStationNameCommand(t + STATION_NAME_AT);
        }
        break;
      case Commands::LEVEL_TRIGGER_INFO:
        if (text.size() >= LEVEL_TRIGGER_MIN) {
          logLine(log_, LOG_ADD, "LEVEL_TRIGGER_INFO [%s:%s]", t, t + LEVEL_TRIGGER_AT);
          processLevelTriggerInfoCommand(t + LEVEL_TRIGGER_AT);
        }
        break;
      case Commands::FLASH_WRITE:
        logLine(log_, LOG_ADD, "FLASH_WRITE");
        flash_.setResponded();
        break;
      case Commands::SETTINGS_CHANGED:
        logLine(log_, LOG_ADD, "SETTINGS_CHANGED");
        ssTimer_.setLog(log_);
        ssTimer_.restart();
        break;
      case Commands::TRIGGER:
        if (text.size() >= TEXT_TRIGGER_MIN) {
          logLine(log_, LOG_ADD, "TRIGGERR [%s:%s]", t, t + TEXT_TRIGGER_AT);
          processTextTrigger(text);
        }
        break;
      case Commands::VFTP_GET:
        if (text.size() >= VFTP_GET_MIN + 1) {
          logLine(log_, LOG_ADD, "VFTP_GET");
          std::string args = text.substr(VFTP_GET_AT);
          size_t comma = args.find(',');
          if (comma != std::string::npos && comma > 0 && comma + 1 < args.size()) {
            logLine(log_, LOG_ADD, "dremoFile=[%s] localDir=[%s]", args.substr(0, comma).c_str(),
                    args.substr(comma + 1).c_str());
            requestFile(args.substr(0, comma), args.substr(comma + 1));
          }
        }
        logLine(log_, LOG_ADD, "%s", t);
        break;
      case Commands::SHUTDOWN:
        logLine(log_, LOG_ADD, "SHUTDOWN [%s]", t);
        sendACK(true, 1);
        state_ = FINISH;
        return FINISH;
      case Commands::RX_STATUS_0:
        break;
      case Commands::RX:
        activity_.write(text);
        logLine(log_, LOG_ADD, "%s", t);
        if (text.find('0') == std::string::npos) {
          upload_.finishOff();
          logLine(log_, LOG_ADD, "Failed upload: [%s]", t);
        } else {
          logLine(log_, LOG_ADD, "Success upload: [%s]", t);
        }
        break;
      case Commands::SETTING_REPLY:
        if (!ssTimer_.isEndOfKeys()) ssTimer_.setReadyForNext();
        processSetSetting(text);
        break;
      default:
        break;
    }
  }
  ackSeq_ = received_.seqNo;
  if (text.size() >= ACK_TEXT_MIN && text.rfind("nil", 0) != 0) {
    if (sendACK(true, 1) == FINISH) return FINISH;
  }
  // A command is a sign of life: the station's time file is kept current.
  archive_.touchTimeFile();
  touchSiteMarker();
  return NEXT_REQUEST;
}

void SeisServerState::processSetSetting(const std::string& line) {
  ssFile_.set(line);
  ssFile_.parse();
  upload_.setBuildNo(ssFile_.getBuildNo());
  std::string key, value;
  bool split = JsonFile::readLine(line, key, value) == 1;
  if (ssFile_.isChanged()) {
    ssFile_.setChars("time", formatLocal(time(nullptr), SS_TIME_FORMAT));
    updateStationLabel();
    ssFile_.writeDownload(stationLabel_, log_);
    writeStationXml(ssFile_, archive_.getChannames(), overwriteStationXml_);
    ssFile_.setChanged(false);
    // A change reaches the monitor folder at once.
    archive_.sendDownloadToMonitor(SS_FILE_NAME);
  }
  if (line.find("build") != std::string::npos) {
    updateTrigBackfill();
    return;
  }
  if (line.find("sitename") != std::string::npos) {
    if (value.find("nil") != std::string::npos) {
      logLine(log_, LOG_ADD, "NIL Station name: [%s]", line.c_str());
      return;
    }
    if (!split) return;
    archive_.setStn(value);
    archive_.setId(instrumentId());
    archive_.makeStationId();
    updateStationLabel();
    upload_.makeUploadDir(stationLabel_);
  } else if (line.find("network_code") != std::string::npos) {
    if (split) archive_.setNet(value);
  } else if (line.find("location_id") != std::string::npos) {
    if (split) archive_.setLoc(value);
  }
}

void SeisServerState::readSettings() {
  updateStationLabel();
  std::string path = sformatBounded(SS_DOWNLOAD_PATH_MAX, "%s%s/%s", DOWNLOAD_DIR.c_str(),
                                    stationLabel_.c_str(), SS_FILE_NAME);
  if (ssFile_.read(path)) {
    upload_.setBuildNo(ssFile_.getBuildNo());
    updateTrigBackfill();
    logLine(log_, LOG_ADD, "%s build=%d", archive_.getStation().c_str(), ssFile_.getBuildNo());
  } else {
    logLine(log_, LOG_ADD, "fail download %s", path.c_str());
  }
}
