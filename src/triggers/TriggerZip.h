// Trigger waveform packages. After a trigger, once the archive holds the
// minutes after it, the session starts one thread ("trigzip") that packs the
// waveform around the trigger into a zip in each enabled trigger waveform
// archive: the records of all channels from preSecs before to postSecs after
// the trigger, merged (and with trim, cut to that window at record
// boundaries) into one miniSEED file, with the station's settings file, its
// StationXML and the trigger files of the window. The zip of output 0 is
// also copied to the monitor folder.
//
// The zip is built in a private folder (makeTmpDir) with Zipper::
// compressFiles (under the zip mutex), copied beside its place under a
// hidden ".part" name and renamed, so the archive never holds a half-written
// package.
//
// Threads and ownership: the work order holds copies of everything the
// thread needs (templates, identity, channel names, folders), so the thread
// touches nothing of the session; it reads archive files, writes its own log
// "<station label>.trig", its zips and the monitor copy. Its end clears the
// order's running flag, which the session shares: the session starts at
// most one such thread at a time and waits (bounded) for it when it ends.
#ifndef VH_TRIGGERS_TRIGGERZIP_H_
#define VH_TRIGGERS_TRIGGERZIP_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "metadata/StationXml.h"

class ArchiveFile;
class Log;

struct TriggerZipOrder {
  time_t triggerTime = 0;  // Unix seconds
  int preSecs = 0;
  int postSecs = 0;
  bool trim = true;  // cut the data to the window; off: whole minutes
  std::string network, station;
  uint32_t id = 0;
  std::string stationLabel;  // "%s.%08x": the download folder and the log name
  std::array<std::string, 2> outputTemplates;
  std::array<bool, 2> outputEnabled{};
  std::string extractTemplate;  // where the waveform minutes are found
  std::string xmlTemplate;      // where the trigger files are found
  ChannelNames channels;        // for the StationXML
  std::string monitorDir;       // empty: no monitor copy
  int monitorMaxFiles = 0;
  std::shared_ptr<std::atomic<bool>> running;  // cleared at the end; may be null
};

class TriggerZip {
 public:
  static constexpr size_t NAME_MAX_CHARS = 19;  // characters of the station label
  static constexpr size_t STATIONS_MAX = 999;   // stations whose settings are added
  static constexpr char THREAD_NAME[] = "trigzip";

  TriggerZip() = delete;

  // Starts the thread for order (its running flag must be set by the
  // caller). False when no thread could be started; the flag is then cleared.
  static bool start(std::unique_ptr<TriggerZipOrder> order, Log* linkLog);
  // The thread body, also callable directly (tests); clears the running flag
  // at its end.
  static void assembleTriggerZip(std::unique_ptr<TriggerZipOrder> order);

  // The waveform files of stationIds ("STA.hexserial") in network for the
  // minutes start .. start + minutes (extract archive, wait as
  // ArchiveFile::getFiles), then, with settings, addSettings. Returns the
  // number of waveform and settings files.
  static int getWaveFilePaths(std::vector<std::string>& list, ArchiveFile& extract,
                              const std::string& network,
                              const std::vector<std::string>& stationIds, time_t start, int minutes,
                              bool withSettings, const std::string& xmlFolder,
                              const ChannelNames& channels, bool wait, Log* log);
  // Each station's "<download>/<station>/settings.ss" and a StationXML made
  // from it in xmlFolder ("<station>.station.xml"); a station without a
  // settings file logs "not using %s". Returns the number of settings files.
  static int addSettings(std::vector<std::string>& list, const std::vector<std::string>& stationIds,
                         const std::string& xmlFolder, const ChannelNames& channels, Log* log);
};

#endif  // VH_TRIGGERS_TRIGGERZIP_H_
