// Files fetched from the instrument: the request queue, the gap scheduler
// that starts backfill and named downloads, the settings-file request, and
// the RESPONSE_FILE_NAME and FILE_PART answers.
#include <cstring>

#include "core/Log.h"
#include "gaps/Gapses.h"
#include "session/SeisServerState.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"

namespace {

constexpr char NO_SD_CARD[] = "no sd card";
constexpr char NO_SD_CARD_UPPER[] = "No SD Card";
constexpr char NULL_NAME[] = "null";
constexpr char NO_FILE[] = "no file";

}  // namespace

void SeisServerState::queueRequest(uint8_t type, const std::string& text) {
  if (requests_.size() >= REQUEST_QUEUE_MAX) {
    logLine(log_, LOG_ADD, "Request queue full (%zu): [%s] dropped", requests_.size(),
            text.c_str());
    return;
  }
  auto packet = std::make_unique<SelvomaPacket>();
  packet->make(type, ownId_, instrumentId(), 0, text);
  requests_.push_back(std::move(packet));
}

std::unique_ptr<SelvomaPacket> SeisServerState::readOldestRequest() {
  const int64_t now = monoMs();
  if (now - lastRequestFilesMs_ >= REQUEST_FILES_CHECK_MS && requests_.size() < REQUEST_QUEUE_MAX) {
    lastRequestFilesMs_ = now;
    std::deque<std::unique_ptr<SelvomaPacket>> read;
    requestFiles_.readRequests(instrumentId(), archive_.getStation(), &read,
                               REQUEST_QUEUE_MAX - requests_.size());
    for (std::unique_ptr<SelvomaPacket>& packet : read) {
      // A file asked for by a client (or relayed for another station) is
      // fetched by the file retrieval, which stores what arrives.
      if (packet->type == SelvomaPacket::REQUEST_FILE && packet->payloadLen() > 0 &&
          gaps_ != nullptr) {
        requestFile(packet->textPayload(0, DremoFiles::PATH_MAX_CHARS), REQUESTED_FOLDER);
      } else {
        requests_.push_back(std::move(packet));
      }
    }
  }
  if (requests_.empty()) return nullptr;
  std::unique_ptr<SelvomaPacket> packet = std::move(requests_.front());
  requests_.pop_front();
  packet->sourceId = ownId_;
  packet->destId = instrumentId();
  return packet;
}

void SeisServerState::requestSettingsFile() {
  if (instrumentId() >= SETTINGS_FILE_ID_LIMIT) return;
  dremoFiles_.requestFile(SETTINGS_FILE_PATH, DremoFiles::SETTINGS);
}

void SeisServerState::requestFile(const std::string& text1, const std::string& text2) {
  updateStationLabel();
  if (gaps_ != nullptr) gaps_->addRequestFile(stationLabel_, text1, text2, log_);
}

void SeisServerState::requestTime(time_t t) {
  updateStationLabel();
  if (gaps_ != nullptr) gaps_->push(stationLabel_, t, REQUEST_TIME_SPAN_SECS, Gap::DLREQU, log_);
}

bool SeisServerState::driveRetrieval(int64_t now) {
  const bool quiet = lastErrorMs_ == 0 || now - lastErrorMs_ > 1000LL * BACKFILL_ERROR_QUIET_SECS;
  if (!quiet || dremoFiles_.isIdle()) return false;
  dremoFiles_.doAction();
  if (dremoFiles_.isSettingsStored()) {
    dremoFiles_.clearSettingsStored();
    readSettings();
    // The upload list follows the instrument's build.
    upload_.setBuildNo(ssFile_.getBuildNo());
  }
  return true;
}

void SeisServerState::checkForGapRequest() {
  const int64_t now = monoMs();
  if (now - lastGapCheckMs_ < 1000) return;
  lastGapCheckMs_ = now;
  if (flash_.isBusy() || instrumentId() == 0 || upload_.hasFileParts() ||
      now - loopStartMs_ <= 1000LL * GAP_CHECK_WARMUP_SECS) {
    return;
  }
  if (!dremoFiles_.isIdle() || archive_.getStation().empty()) {
    logLine(log_, LOG_ADD, "dremoFiles state: %d", dremoFiles_.getState());
    return;
  }
  if (gaps_ == nullptr) return;
  std::unique_ptr<Gap> gap = archive_.getGap(lag_ == LAG_UNSET ? 0 : lag_);
  if (!gap) return;
  switch (gap->action()) {
    case Gap::BLDTRI:
      buildTrigger(gap->start());
      break;
    case Gap::DLTRIG:
      downloadTrigger(gap->start());
      break;
    case Gap::DLREQU:
      logLine(log_, LOG_ADD, "Start download REQUEST");
      dremoFiles_.get(gap->start());
      break;
    case Gap::DLBACK:
      dremoFiles_.get(gap->start());
      break;
    case Gap::DLFILE:
      dremoFiles_.requestFile(gap->text1(), gap->text2());
      break;
    case Gap::REQHIS:
      sendHistogramRequest(gap->start());
      break;
    case Gap::DELHIS:
      sendHistogramRemove(gap->start());
      break;
    case Gap::UPLREQ:
      completeUploadRequest(gap->start(), gap->end());
      break;
    default:
      logLine(log_, LOG_ADD, "SeisServerState::checkForGapRequest() Unknown Gap Action: %d",
              static_cast<int>(gap->action()));
      break;
  }
}

void SeisServerState::takeFileName() {
  const uint8_t* payload = received_.payload();
  const size_t length = static_cast<size_t>(received_.payloadLen());
  if (length > RESPONSE_FILE_NAME_MAX) {
    logLine(log_, LOG_VERBOSE, "RESPONSE_FILE_NAME too long! payloadLen=%zu", length);
    return;
  }
  const char* chars = reinterpret_cast<const char*>(payload);
  const std::string name(chars, strnlen(chars, length));
  if (name == NO_SD_CARD || name == NO_SD_CARD_UPPER) {
    dremoFiles_.fail(NO_SD_CARD);
  } else if (name == NULL_NAME || name.empty()) {
    dremoFiles_.fail(NO_FILE);
  } else {
    const std::string repaired = dremoFiles_.repairFilePath(name);
    logLine(log_, LOG_ADD, "backfill start | %s", repaired.c_str());
    logLine(log_, LOG_ADD, "RESPONSE_FILE_NAME: %s", repaired.c_str());
    dremoFiles_.setFilePath(repaired);
  }
}

void SeisServerState::takeFilePart() {
  FilePart part;
  if (!received_.getFilePart(&part)) {
    logLine(log_, LOG_ADD, "process RESPONSE_FILE FALSE!");
    return;
  }
  if (part.partNumber == 0 && part.data.size() <= NO_FILE_PART_MAX) {
    if (!dremoFiles_.isIdle()) dremoFiles_.fail(NO_FILE);
    return;
  }
  std::string channel;
  if (part.data.size() >= Miniseed::RECORD_LENGTH &&
      Miniseed::isMiniseed(part.data.data(), part.data.size()) &&
      Miniseed::getChannel(part.data.data(), &channel)) {
    archive_.setChanname(channel);
  }
  dremoFiles_.add(part);
}
