// The instrument's own histogram files (histogram mode 1): the schedule
// that makes REQHIS gaps, the request of a day's file through the file
// retrieval, and its removal on the instrument once it is stored.
#include "core/Log.h"
#include "gaps/Gapses.h"
#include "session/SeisServerState.h"
#include "util/TimeUtil.h"

namespace {

constexpr char DELETE_COMMAND[] = "del ";

}  // namespace

void SeisServerState::maybeRequestHistogramFile() {
  if (!histogram_.isEnabled() || histogram_.getMode() != HISTOGRAM_INSTRUMENT) return;
  if (gaps_ == nullptr || instrumentId() == 0) return;
  const time_t due = histogram_.isTime();
  if (due == 0 || instrumentId() >= HISTOGRAM_ID_LIMIT) return;
  updateStationLabel();
  gaps_->addHistogram(stationLabel_, due, log_);
}

void SeisServerState::sendHistogramRequest(time_t t) {
  const std::string path = Histogram::getDremoPath(t);
  logLine(log_, LOG_ADD, "REQUESTING HISTOGRAM: [%s][%s]", formatUtc(t, "%Y%m%d_%H%M_%S").c_str(),
          path.c_str());
  dremoFiles_.requestFile(path, DremoFiles::HISTOGRAM, t);
}

void SeisServerState::sendHistogramRemove(time_t t) {
  upload_.addCommand(DELETE_COMMAND + Histogram::getDremoPath(t));
}
