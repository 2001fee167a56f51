#include "triggers/TriggerZip.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <system_error>
#include <thread>

#include "archive/MonitorBuffer.h"
#include "core/Log.h"
#include "triggers/Trigger.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/ArchiveFile.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr char SETTINGS_NAME[] = "settings.ss";
constexpr char MERGED_EXTENSION[] = ".ms";
constexpr char ZIP_EXTENSION[] = ".zip";
constexpr char PART_SUFFIX[] = ".part";

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Builds one output's zip at zipPath; true when it is in place.
bool buildOutput(const TriggerZipOrder& order, ArchiveFile& output, const std::string& zipPath,
                 Log* log) {
  const time_t t = order.triggerTime;
  const time_t m0 = (t - order.preSecs) / 60;
  const time_t m1 = (t + order.postSecs + 59) / 60;
  const int minutes = static_cast<int>(m1 - m0);
  const time_t from = order.trim ? t - order.preSecs : m0 * 60 - 1;
  const time_t to = order.trim ? t + order.postSecs + 1 : m1 * 60 + 1;

  const std::string tmp = makeTmpDir(order.stationLabel);
  if (tmp.empty()) {
    logLine(log, LOG_ADD, "TrigZip Error %s numPaths=%d\n", zipPath.c_str(), 0);
    return false;
  }
  logLine(log, LOG_ADD, "tmpdir=%s", tmp.c_str());
  ArchiveFile extract(order.extractTemplate);
  std::vector<std::string> waves;
  TriggerZip::getWaveFilePaths(waves, extract, order.network, {order.stationLabel}, m0 * 60,
                               minutes, false, tmp, order.channels, true, log);
  const std::string merged =
      output.getFilename(order.network, order.station, order.id, m0 * 60, 0, MERGED_EXTENSION);
  bool ok = false;
  std::vector<std::string> paths;
  if (!merged.empty()) {
    // Only the merged file goes into the package: a source without records
    // in the window (the minute after it, say) stays out.
    if (Miniseed::rewrite(
            &waves, tmp + merged, from, to,
            [](const std::string& zip, const std::string& folder, std::vector<std::string>* files) {
              return Zipper::uncompressFile(zip, folder, files);
            }) > 0) {
      paths.push_back(tmp + merged);
    } else {
      logLine(log, LOG_ADD, "TrigZip: no records from %s to %s", time_tToStr(from).c_str(),
              time_tToStr(to).c_str());
    }
    TriggerZip::addSettings(paths, {order.stationLabel}, tmp, order.channels, log);
    ArchiveFile xml(order.xmlTemplate);
    xml.getFilesInSeconds(paths, order.network, order.station, order.id, t, order.preSecs,
                          order.postSecs, Trigger::XML_EXTENSION, log);
    const std::string built = tmp + lastComponent(zipPath);
    const std::string part = folderOf(zipPath) + "/." + lastComponent(zipPath) + PART_SUFFIX;
    ok = Zipper::compressFiles(built, paths) && copyFile(built, part) &&
         getFileSize(part) == getFileSize(built) && rename(part.c_str(), zipPath.c_str()) == 0;
    if (ok) {
      chmod(zipPath.c_str(), MODE_SHARED_FILE);
    } else {
      removeFile(part);
      logLine(log, LOG_ADD, "TrigZip Error %s numPaths=%d\n", zipPath.c_str(),
              static_cast<int>(paths.size()));
    }
  }
  deleteFolder(tmp);
  return ok;
}

}  // namespace

int TriggerZip::getWaveFilePaths(std::vector<std::string>& list, ArchiveFile& extract,
                                 const std::string& network,
                                 const std::vector<std::string>& stationIds, time_t start,
                                 int minutes, bool withSettings, const std::string& xmlFolder,
                                 const ChannelNames& channels, bool wait, Log* log) {
  const int count = extract.getFiles(list, network, stationIds, start, minutes, wait, log);
  return withSettings ? count + addSettings(list, stationIds, xmlFolder, channels, log) : count;
}

int TriggerZip::addSettings(std::vector<std::string>& list,
                            const std::vector<std::string>& stationIds,
                            const std::string& xmlFolder, const ChannelNames& channels, Log* log) {
  int count = 0;
  for (size_t i = 0; i < stationIds.size() && i < STATIONS_MAX; ++i) {
    const std::string& name = stationIds[i];
    const std::string settings = DOWNLOAD_DIR + name + "/" + SETTINGS_NAME;
    if (!isFile(settings)) {
      logLine(log, LOG_ADD, "not using %s", settings.c_str());
      continue;
    }
    list.push_back(settings);
    ++count;
    const std::string xml = gluePath(xmlFolder, name + ".station.xml");
    if (StationXml::copyConvert(settings, xml, channels) == 1) list.push_back(xml);
  }
  return count;
}

void TriggerZip::assembleTriggerZip(std::unique_ptr<TriggerZipOrder> order) {
  if (!order) return;
  const std::string name = bounded(order->stationLabel, NAME_MAX_CHARS);
  Log log((name + ".trig").c_str());
  log.setId(static_cast<int>(order->id));
  log.addf("--- assembleTriggerZip %s  Trigtime=%s", name.c_str(),
           time_tToStr(order->triggerTime).c_str());
  for (int i = 0; i < 2; ++i) {
    log.addf("--------------------------------- %d\n", i);
    ArchiveFile output(order->outputTemplates[i]);
    if (!order->outputEnabled[i] || !output.isEnabled()) {
      log.add("--- disabled\n");
      continue;
    }
    const std::string zipPath = output.mkdirs(order->network, order->station, order->id,
                                              order->triggerTime, 0, ZIP_EXTENSION, false);
    log.addf("output[%d]  %s", i, zipPath.c_str());
    if (zipPath.empty()) continue;
    const bool built = buildOutput(*order, output, zipPath, &log);
    if (built && i == 0 && !order->monitorDir.empty()) {
      MonitorBuffer monitor;
      monitor.setDir(order->monitorDir);
      monitor.setMaxFiles(order->monitorMaxFiles);
      monitor.setEnabled(true);
      monitor.writeFile(zipPath, &log);
    }
    log.addf("--------------------------------- %d\n", i);
  }
  log.add("===================================\n");
  log.addf("closePthread [%s]", "void* assembleTriggerZip(void*)");
  if (order->running) order->running->store(false, std::memory_order_release);
}

bool TriggerZip::start(std::unique_ptr<TriggerZipOrder> order, Log* linkLog) {
  std::shared_ptr<std::atomic<bool>> running = order->running;
  try {
    std::thread thread([order = std::move(order)]() mutable {
      pthread_setname_np(pthread_self(), THREAD_NAME);
      assembleTriggerZip(std::move(order));
    });
    thread.detach();
  } catch (const std::system_error&) {
    if (running) running->store(false, std::memory_order_release);
    logLine(linkLog, LOG_ADD, "Failed create assembleTriggerZip thread");
    return false;
  }
  return true;
}
