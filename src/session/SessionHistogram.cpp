// The station's state-of-health records: the record the session writes at
// the end of each query cycle (and its monitor copy), and the instrument's
// own histogram files (histogram mode 1): the schedule that makes REQHIS
// gaps, the request of a day's file through the file retrieval, and its
// removal on the instrument once it is stored.
#include <sys/stat.h>

#include <cstdio>

#include "core/Log.h"
#include "gaps/Gapses.h"
#include "session/SeisServerState.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/TimeUtil.h"

namespace {

constexpr char DELETE_COMMAND[] = "del ";
constexpr char HISTOGRAM_COPY[] = "histogram.csv";  // the monitor copy's name after the label

}  // namespace

void SeisServerState::writeHistogramRecord() {
  if (histogram_.isEnabled()) {
    const std::string written = histogram_.write(ssFile_, log_);
    if (!written.empty()) {
      archive_.getMonitor().copyAs(written, stationLabel_ + "." + HISTOGRAM_COPY, log_);
    }
    return;
  }
  // Without a histogram archive the record is made for the monitor folder
  // only: written beside the station's settings, copied, and removed.
  if (!archive_.isMonitorEnabled() || archive_.getStation().empty()) return;
  const std::string folder = DOWNLOAD_DIR + stationLabel_ + "/";
  mkdirs(folder, true);
  const std::string text = histogram_.text(ssFile_);
  FILE* f = fopen((folder + HISTOGRAM_COPY).c_str(), "w");
  bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr && fclose(f) != 0) ok = false;
  if (ok) {
    archive_.sendDownloadToMonitor(HISTOGRAM_COPY);
  } else {
    logLine(log_, LOG_ADD, "FAIL Histogram: [%s%s]", folder.c_str(), HISTOGRAM_COPY);
  }
  removeFile(folder + HISTOGRAM_COPY);
}

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
