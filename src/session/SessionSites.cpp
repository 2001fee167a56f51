// The session's part in the site register: the station-name command, the
// first-contact step and the station's marker.
#include "core/Log.h"
#include "core/VhProps.h"
#include "session/SeisServerState.h"
#include "util/Dirs.h"

namespace {

constexpr size_t STATION_NAME_SKIP_MAX = 99;  // leading spaces and "=" skipped at most

}  // namespace

void SeisServerState::processStationNameCommand(const std::string& text) {
  size_t start = 0;
  while (start < text.size() && start < STATION_NAME_SKIP_MAX &&
         (text[start] == ' ' || text[start] == '=')) {
    ++start;
  }
  const std::string before = archive_.getStationWithId();
  archive_.setNetLocStn(text.substr(start), instrumentId());
  if (archive_.getStationWithId() != before) {
    readSettings();
    updateStationLabel();
    upload_.makeUploadDir(stationLabel_);
  }
  touchSiteMarker();
  checkFirstStoreWave();
}

void SeisServerState::checkFirstStoreWave() {
  if (firstStoreWaveDone_) return;
  firstStoreWaveDone_ = true;
  // Gap handling notes the time of first contact here (its first request
  // waits 20 seconds after it).
  updateStationLabel();
  markedStation_ = archive_.getStation();
  markedNetwork_ = archive_.getNetwork();
  siteFolder_.addStation(markedStation_, markedNetwork_, instrumentId(), log_);
  readSettings();
  applyStationOverrides();
  upload_.setBuildNo(ssFile_.getBuildNo());
  upload_.makeUploadDir(stationLabel_);
  if (!doBackfill_) archive_.deleteBackfills();
}

void SeisServerState::applyStationOverrides() {
  if (props_ == nullptr) return;
  const std::string& station = archive_.getStation();
  doSettingFile_ = props_->getInt("settings." + station, doSettingFile_ ? 1 : 0) == 1;
  bool backfill = MODE != MODE_TIDORA && props_->isOn("backfill");
  doBackfill_ = props_->getInt("backfill." + station, backfill ? 1 : 0) == 1;
  // Interface log line
  logLine(log_, LOG_ADD, "backfilll for %s = %d", station.c_str(), doBackfill_ ? 1 : 0);
}

void SeisServerState::touchSiteMarker() {
  const std::string& station = archive_.getStation();
  const std::string& network = archive_.getNetwork();
  if (station.empty()) return;
  if (!markedStation_.empty() && (markedStation_ != station || markedNetwork_ != network)) {
    siteFolder_.removeStation(markedStation_, markedNetwork_, instrumentId());
    siteFolder_.addStation(station, network, instrumentId(), log_);
  } else {
    siteFolder_.touchStation(station, network, instrumentId(), log_);
  }
  markedStation_ = station;
  markedNetwork_ = network;
}

void SeisServerState::removeSiteMarker() {
  if (markedStation_.empty()) return;
  siteFolder_.removeStation(markedStation_, markedNetwork_, instrumentId());
}
