// The session's trigger handling: TRIGGER frames and trigger texts, peak
// values, broadcasts, trigger backfill, and the trigger waveform packages
// started by BLDTRI gaps (one assembly thread at a time, a bounded number
// waiting).
#include <sys/stat.h>

#include <cstring>

#include "core/Log.h"
#include "core/VhProps.h"
#include "session/SeisServerState.h"
#include "triggers/TriggerZip.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr long WAIT_STEP_US = 100000;  // the end polls the assembly this often
constexpr int WAIT_STEPS_PER_SEC = 10;
constexpr time_t DOWNLOADED_START_SLACK = 2;  // a complete minute zip starts in seconds 0..2
constexpr size_t WAVE_FILE_PATH_MAX = 198;    // characters of a waveform file's path

}  // namespace

void SeisServerState::initTriggers() {
  trigger_.setLog(log_);
  trigger_.setRejectPeriod(Trigger::REJECT_SECS_SESSION);
  trigger_.setBroadcastEnabled(props_->isOn("broadcast"));
  // Trigger files go beside the minute files only while those stay plain.
  const bool plain = !props_->doZipArchive();
  trigger_.setArchive(props_->getTrigXmlTemplate(), props_->getTrigArchiveTemplate(0),
                      props_->getTrigArchiveTemplate(1), plain ? &archive_.getArchive(0) : nullptr,
                      plain ? &archive_.getArchive(1) : nullptr);
  trigger_.getTrigWaveArchive(0).setEnabled(props_->isOn("trigwaveenabled1"));
  trigger_.getTrigWaveArchive(1).setEnabled(props_->isOn("trigwaveenabled2"));
  trigPreSecs_ = props_->getIntKey("trigwavepresecs");
  trigPostSecs_ = props_->getIntKey("trigwavepostsecs");
  trimTrigFile_ = props_->isOn("trimtrigfile");
  archive_.setTrigger(&trigger_);
  archive_.setTrigWave(
      trigPreSecs_, trigPostSecs_,
      trigger_.getTrigWaveArchive(0).isEnabled() || trigger_.getTrigWaveArchive(1).isEnabled());
  monitorMaxFiles_ = props_->getIntKey("monitornumfiles");
  archive_.setMonitor(props_->getTextKey("monitordir"), monitorMaxFiles_,
                      props_->isOn("monitorenabled"));
  updateTrigBackfill();
}

void SeisServerState::updateTrigBackfill() {
  if (props_ == nullptr) return;
  const bool on = props_->doBackfillTriggers(ssFile_.getBuildNo());
  archive_.setTriggerBackfill(on);
  trigger_.setTriggerBackfill(on);
}

void SeisServerState::storeTrigger(const SelvomaPacket& packet) {
  if (!archive_.addPacket(packet) || !trigger_.isBroadcastEnabled()) return;
  updateStationLabel();
  trigger_.writeBroadcasts(packet, siteFolder_.getStations(archive_.getNetwork()), stationLabel_,
                           trigPostSecs_);
}

void SeisServerState::processLevelTriggerInfoCommand(const std::string& text) {
  LevelTriggerInfo info;
  if (!Trigger::parseLevelTriggerInfo(text, time(nullptr), &info)) {
    logLine(log_, LOG_ADD, "Level trigger info not understood: [%s]", text.c_str());
    return;
  }
  if (!trigger_.isPlausibleTime(info.time)) {
    logLine(log_, LOG_ADD, "Peak time %s out of range, ignored", time_tToStr(info.time).c_str());
    return;
  }
  trigger_.writePeakTrig(archive_.getNetwork(), archive_.getStation(), archive_.getLocation(),
                         Trigger::PEAK_CHANNEL, instrumentId(), info.peak, info.units, info.time,
                         info.microseconds);
  if (archive_.isMonitorEnabled()) {
    archive_.getMonitor().writePeakTrigger(archive_.getStation(), archive_.getNetwork(),
                                           archive_.getLocation(), Trigger::PEAK_CHANNEL, info.peak,
                                           info.units, info.time, info.microseconds, log_);
  }
}

void SeisServerState::processTextTrigger(const std::string& text) {
  SelTrigger record;
  if (!Trigger::parseTextTrigger(text, &record)) {
    logLine(log_, LOG_ADD, "Text trigger not understood: [%s]", text.c_str());
    return;
  }
  uint8_t bytes[SEL_TRIGGER_LENGTH];
  record.toBytes(bytes);
  SelvomaPacket packet;
  packet.make(SelvomaPacket::TRIGGER, ownId_, instrumentId(), 0, bytes,
              static_cast<int>(sizeof bytes));
  storeTrigger(packet);
}

void SeisServerState::buildTrigger(time_t t) {
  logLine(log_, LOG_ADD, "TIME TO BUILD TRIGGER - %s", time_tToStr(t).c_str());
  // The trigger's minutes reach the archive first; written records leave
  // the buffer, so that the next batch does not append them again.
  if (archive_.bufferedCount() > 0) {
    archive_.write();
    archive_.clear();
  }
  if (!isAssembling()) {
    startTriggerZip(t);
    return;
  }
  if (buildsWaiting_.size() >= TRIGGER_BUILDS_WAITING_MAX) {
    logLine(log_, LOG_ADD, "Trigger package for %s dropped: %zu packages wait already",
            time_tToStr(t).c_str(), buildsWaiting_.size());
    return;
  }
  buildsWaiting_.push_back(t);
  logLine(log_, LOG_ADD, "Trigger package for %s waits for the one being assembled",
          time_tToStr(t).c_str());
}

void SeisServerState::startWaitingBuild() {
  if (buildsWaiting_.empty() || isAssembling()) return;
  const time_t t = buildsWaiting_.front();
  buildsWaiting_.pop_front();
  startTriggerZip(t);
}

void SeisServerState::startTriggerZip(time_t t) {
  updateStationLabel();
  // The package takes the settings from the download folder.
  ssFile_.writeDownload(stationLabel_, log_);
  auto order = std::make_unique<TriggerZipOrder>();
  order->triggerTime = t;
  order->preSecs = trigPreSecs_;
  order->postSecs = trigPostSecs_;
  order->trim = trimTrigFile_;
  order->network = archive_.getNetwork();
  order->station = archive_.getStation();
  order->id = archive_.getId();
  order->stationLabel = stationLabel_;
  for (int i = 0; i < 2; ++i) {
    order->outputTemplates[i] = trigger_.getTrigWaveArchive(i).getTemplate();
    order->outputEnabled[i] = trigger_.getTrigWaveArchive(i).isEnabled();
  }
  order->extractTemplate = archive_.getExtractArchive().getTemplate();
  order->xmlTemplate = trigger_.getXmlArchive().getTemplate();
  order->channels = archive_.getChannames();
  if (archive_.isMonitorEnabled()) order->monitorDir = archive_.getMonitorDir();
  order->monitorMaxFiles = monitorMaxFiles_;
  assembling_->store(true, std::memory_order_release);
  order->running = assembling_;
  TriggerZip::start(std::move(order), log_);
}

void SeisServerState::downloadTrigger(time_t t) {
  logLine(log_, LOG_ADD, "Start download TRIGGER");
  const std::string path = archive_.getFilePath(t);
  if (path.empty()) return;
  time_t first = 0;
  const int channels = Miniseed::numChannelsInZipFile(path, &first);
  updateTrigBackfill();
  const bool backfill = trigger_.isTriggerBackfill();
  const bool complete =
      channels > 0 && channels >= ssFile_.numStoringChans() && first % 60 <= DOWNLOADED_START_SLACK;
  if (backfill && complete) {
    logLine(log_, LOG_ADD, "Already have [%s] with %d channels", path.c_str(), channels);
  } else if (backfill) {
    dremoFiles_.get(t);
  } else {
    logLine(log_, LOG_ADD, "trigChans=1. No trigger backfilling.");
  }
}

std::string SeisServerState::makeWaveFile(time_t start, int minutes, const std::string& station,
                                          const std::string& network) {
  updateStationLabel();
  const std::vector<std::string> stations =
      station.empty() ? siteFolder_.getStations(network) : std::vector<std::string>{station};
  const std::string tmp = makeTmpDir(stationLabel_);
  if (tmp.empty()) return std::string();
  lastRxTic_ = monoMs();
  std::vector<std::string> paths;
  TriggerZip::getWaveFilePaths(paths, archive_.getExtractArchive(), network, stations, start,
                               minutes, true, tmp, archive_.getChannames(), false, log_);
  lastRxTic_ = monoMs();
  const std::string folder = DOWNLOAD_DIR + stationLabel_ + "/";
  mkdirs(folder, true);
  const std::string out = sformatBounded(WAVE_FILE_PATH_MAX, "%s%s.%04dmin.zip", folder.c_str(),
                                         formatUtc(start, "%Y%m%d_%H%M").c_str(), minutes);
  logLine(log_, LOG_ADD, "start makeWaveFile %s", out.c_str());
  const bool zipped = Zipper::compressFiles(out, paths);
  lastRxTic_ = monoMs();
  deleteFolder(tmp);
  if (!zipped) {
    logLine(log_, LOG_ADD, "makeWaveFile: nothing zipped into %s", out.c_str());
    return std::string();
  }
  chmod(out.c_str(), MODE_SHARED_FILE);
  return out;
}

void SeisServerState::waitForTriggerZip() {
  for (int i = 0; i < TRIGGER_ZIP_WAIT_SECS * WAIT_STEPS_PER_SEC && isAssembling(); ++i) {
    sleepu(WAIT_STEP_US);
  }
  if (isAssembling()) logLine(log_, LOG_ADD, "Trigger package still being assembled at the end");
}
