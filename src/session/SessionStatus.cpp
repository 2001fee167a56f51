// The session's figures for the hub's status file and metrics page.
#include <cstring>

#include "gaps/Gapses.h"
#include "io/IO.h"
#include "session/SeisServerState.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "waveform/Miniseed.h"

void SeisServerState::joinStatus() {
  if (statusKey_ != 0) return;
  statusSince_ = time(nullptr);
  LinkSnapshot first;
  first.link = io_ != nullptr ? io_->getDescription() : "";
  first.since = statusSince_;
  statusKey_ = LinkRegistry::instance().add(first);
}

void SeisServerState::leaveStatus() {
  if (statusKey_ == 0) return;
  // What was stored since the last publish still counts for the station's day.
  publishStatus();
  LinkRegistry::instance().remove(statusKey_);
  statusKey_ = 0;
}

void SeisServerState::noteStoredForStatus() {
  ++recordsUnpublished_;
  bytesUnpublished_ += received_.payloadLen();
  const hptime_t end = received_.getMiniseedEndTime();
  if (end > 0) {
    lastDataTime_ = static_cast<time_t>(end / HPTMODULUS);
    lastDataLag_ = static_cast<long>(time(nullptr) - lastDataTime_);
  }
}

int SeisServerState::uploadFilesWaiting() {
  if (stationLabel_.empty()) return 0;
  const std::string folder = UPLOAD_DIR + stationLabel_ + "/";
  if (uploadStamp_.unchanged(folder)) return uploadWaiting_;
  uploadStamp_.note(folder);
  int waiting = 0;
  forEachEntry(folder, UPLOAD_FOLDER_SCAN_MAX,
               [&waiting](const char* name, const std::string& path) {
                 if (strstr(name, UPLOAD_SENT_MARK) == nullptr &&
                     !endsWith(name, UPLOAD_ASIDE_SUFFIX) && isFile(path))
                   ++waiting;
                 return true;
               });
  uploadWaiting_ = waiting;
  return waiting;
}

void SeisServerState::publishStatus() {
  if (statusKey_ == 0) return;
  LinkSnapshot s;
  s.link = io_ != nullptr ? io_->getDescription() : "";
  s.since = statusSince_;
  s.station = stationLabel_;
  s.lastData = lastDataTime_;
  s.lagSeconds = lastDataLag_;
  const std::string& stationId = archive_.getStationWithId();
  if (gaps_ != nullptr && !stationId.empty()) s.gaps = gaps_->countByAction(stationId);
  s.backfill = !dremoFiles_.isIdle() && dremoFiles_.getFileType() == DremoFiles::MINISEED;
  if (s.backfill) s.backfillFile = dremoFiles_.getFilePath();
  s.uploadsWaiting = uploadFilesWaiting();
  s.build = ssFile_.getBuildNo();
  s.voltage = ssFile_.getVoltage();
  s.temperature = ssFile_.getTemperature();
  s.cardFreePercent = ssFile_.getPercentFree();
  LinkRegistry::instance().publish(statusKey_, s, recordsUnpublished_, bytesUnpublished_,
                                   time(nullptr));
  recordsUnpublished_ = 0;
  bytesUnpublished_ = 0;
}
