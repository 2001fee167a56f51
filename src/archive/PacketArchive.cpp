#include "archive/PacketArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/MinuteLock.h"
#include "archive/MinuteZip.h"
#include "archive/RingWriter.h"
#include "core/Log.h"
#include "gaps/Gapses.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Random.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr char SUM_NAME[] = "SUM";
constexpr const char* INITIAL_CHANNELS[PacketArchive::NUM_SLOTS] = {"  E", "  N", "  Z", "  O",
                                                                    "",    "",    "SUM"};
constexpr char ORIENTATIONS[] = "ENZO";    // third characters written by setChanname, slots 0..3
constexpr size_t SEED_TIME_MS = 21;        // characters of a SEED time text up to milliseconds
constexpr size_t SEED_TIME_TEXT = 32;      // buffer of ms_hptime2seedtimestr
constexpr size_t NET_LOC_STN_MAX = 18;     // characters of "%s.%s.%s"
constexpr char NIL_STATION[] = "nil.";     // station ids of unnamed instruments
constexpr size_t TIME_FILE_ID_MIN = 2;     // shorter station ids get no time file
constexpr size_t TIME_FILE_READ_MAX = 31;  // characters of a time file examined
constexpr char TIME_DIR[] = "time/";
constexpr char TIME_EXTENSION[] = ".last";
constexpr char TEMP_EXTENSION[] = ".tmp";
constexpr uint8_t WAVE_TRIGGER_TYPES[] = {3, 4, 5, 7, 8};

// Slot of a 3-character name by its third character. The numbered
// horizontal orientations share the slots of their usual directions (1 is
// the northern one, 2 the eastern one); every other code is vertical.
int slotOfName(const std::string& name) {
  if (name.compare(0, 3, SUM_NAME) == 0) return PacketArchive::SLOT_SUM;
  if (name.size() < 3) return PacketArchive::SLOT_Z;
  switch (name[2]) {
    case 'E':
    case '2':
      return PacketArchive::SLOT_E;
    case 'N':
    case '1':
      return PacketArchive::SLOT_N;
    case 'I':
    case 'O':
      return PacketArchive::SLOT_O;
    default:
      return PacketArchive::SLOT_Z;
  }
}

std::string seedTimeMs(hptime_t t) {
  char text[SEED_TIME_TEXT] = "";
  if (ms_hptime2seedtimestr(t, text, 1) == nullptr) return std::string();
  return bounded(text, SEED_TIME_MS);
}

time_t startSecond(const SelvomaPacket& packet) {
  return static_cast<time_t>(packet.getMiniseedStartTime() / HPTMODULUS);
}

// A code from a record header as a C text: up to its first NUL, at most
// width characters, safe as a path element.
std::string pathCode(const std::string& code, size_t width) {
  return safePathCode(bounded(code.substr(0, code.find('\0')), width));
}

std::string trimTrailingBlanks(const std::string& text) {
  size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace

PacketArchive::PacketArchive() : clock_([] { return time(nullptr); }) {
  for (int i = 0; i < NUM_SLOTS; ++i) channels_[i] = INITIAL_CHANNELS[i];
}

PacketArchive::~PacketArchive() {
  closeMinutes();
  if (gaps_ != nullptr && !gapStation_.empty()) gaps_->detach(gapStation_);
}

// ---------------------------------------------------------------- identity

void PacketArchive::setNet(const std::string& net) {
  network_ = pathCode(net, ARCHIVE_NETWORK_LEN);
}

void PacketArchive::setLoc(const std::string& loc) {
  location_ = pathCode(loc, ARCHIVE_LOCATION_LEN);
}

void PacketArchive::setStn(const std::string& stn) {
  std::string station = pathCode(stn, ARCHIVE_STATION_LEN);
  if (station.empty()) return;
  if (station != station_ && monitor_.isEnabled()) {
    monitor_.clear(station_);
    monitor_.clear(station);
  }
  station_ = station;
}

void PacketArchive::setNetLocStnId(const std::string& net, const std::string& loc,
                                   const std::string& stn, uint32_t id) {
  setNet(net);
  setLoc(loc);
  setStn(stn);
  id_ = id;
}

void PacketArchive::setNetLocStn(const std::string& text, uint32_t id) {
  id_ = id;
  const size_t widths[] = {ARCHIVE_NETWORK_LEN, ARCHIVE_LOCATION_LEN, ARCHIVE_STATION_LEN};
  std::string fields[3];
  int field = 0;
  for (char c : text) {
    if (c == '.' || c == ':') {
      if (++field > 2) {
        logLine(log_, LOG_ADD, "BAD PacketArchive.setNetLocStn %s",
                text.c_str());  // Interface log line
        break;
      }
      continue;
    }
    if (c < '!' || c > 'z') c = '_';
    if (fields[field].size() < widths[field]) fields[field] += c;
  }
  std::string net = trimTrailingBlanks(fields[0]);
  std::string loc = trimTrailingBlanks(fields[1]);
  std::string stn = trimTrailingBlanks(fields[2]);
  setNet(net.empty() ? "__" : net);
  setLoc(loc.empty() ? "_" : loc);
  setStn(stn.empty() ? "_" : stn);
  makeStationId();
}

bool PacketArchive::makeStationId() {
  std::string id = sformatBounded(ARCHIVE_STATION_ID_MAX, "%s.%08x", station_.c_str(), id_);
  bool same = id == stationId_;
  stationId_ = id;
  return same;
}

std::string PacketArchive::getNetLocStn() const {
  return sformatBounded(NET_LOC_STN_MAX, "%s.%s.%s", network_.c_str(), location_.c_str(),
                        station_.c_str());
}

// ---------------------------------------------------------------- channels

bool PacketArchive::setChanname(const std::string& name) {
  if (name.size() != Miniseed::CHANNEL_LEN) {
    logLine(log_, LOG_ADD, "Channame==%s?  Is that right?", name.c_str());
    return false;
  }
  int slot = slotOfName(name);
  if (channels_[slot] != name) {
    channameChanged_ = true;
    channels_[slot] = name;
    if (slot <= SLOT_Z) {
      // The other sensor slots take the band and instrument code of the new
      // name; a slot that already has them keeps its own orientation code
      // (so "LH1" and "LH2" both stay).
      const std::string prefix = name.substr(0, 2);
      for (int i = 0; i <= SLOT_O; ++i) {
        if (i != slot && channels_[i].compare(0, 2, prefix) != 0) {
          channels_[i] = prefix + ORIENTATIONS[i];
        }
        logLine(log_, LOG_ADD, "Chan %d=%s", i, channels_[i].c_str());
      }
    }
  } else {
    channameChanged_ = false;
  }
  bool first = !channelSeen_[slot];
  channelSeen_[slot] = true;
  return first;
}

int PacketArchive::getChannelIndex(const std::string& name) const {
  if (name.compare(0, 3, SUM_NAME) == 0) return SLOT_SUM;
  std::string three = name.substr(0, Miniseed::CHANNEL_LEN);
  for (int i = 0; i < NUM_SLOTS; ++i) {
    if (channels_[i] == three) return i;
  }
  return 0;
}

std::string PacketArchive::getChanname(int slot) const {
  if (slot < 0 || slot >= NUM_SLOTS || !channelSeen_[slot]) return std::string();
  return channels_[slot];
}

bool PacketArchive::isRepeat(int slot, const std::string& channel, hptime_t start) const {
  for (const RecentStart& r : recent_[slot]) {
    if (r.start == start && r.channel == channel) return true;
  }
  return false;
}

void PacketArchive::rememberStart(int slot, const std::string& channel, hptime_t start) {
  std::deque<RecentStart>& recent = recent_[slot];
  if (recent.size() >= RECENT_STARTS) recent.pop_front();
  recent.push_back({channel, start});
}

// ---------------------------------------------------------------- storage

bool PacketArchive::addPacket(const SelvomaPacket& packet) {
  if (packet.payloadLen() == 0) return true;
  if (packet.type == SelvomaPacket::TRIGGER) return addTrigger(packet);
  if (packet.type != SelvomaPacket::MINISEED) return true;

  std::string channel;
  const bool haveChannel = packet.getMiniseedChannel(&channel);
  const hptime_t start = packet.getMiniseedStartTime();
  const int recentSlot = slotOfName(channel);
  if (haveChannel && isRepeat(recentSlot, channel, start)) return true;

  std::string station, network, location;
  const bool haveHeader = packet.getMiniseedStation(&station, &network, &location);
  const float rate = static_cast<float>(packet.getMiniseedSampleRate());
  if (!haveHeader || rate < ARCHIVE_RATE_MIN || rate > ARCHIVE_RATE_MAX ||
      packet.payloadLen() > ARCHIVE_PAYLOAD_MAX || channel.size() != Miniseed::CHANNEL_LEN) {
    logLine(log_, LOG_ADD, "Not sane packet. deleted");  // Interface log line
    return false;
  }
  if (haveChannel) rememberStart(recentSlot, channel, start);
  setLoc(location);

  const std::string safeStation = pathCode(station, ARCHIVE_STATION_LEN);
  const std::string safeNetwork = pathCode(network, ARCHIVE_NETWORK_LEN);
  // The session keeps the station's site marker (SiteFolder) after each
  // stored record, moving it when station or network change.
  if (safeStation != station_ || safeNetwork != network_) {
    setNet(network);
    setStn(station);
    stationId_ =
        sformatBounded(ARCHIVE_STATION_ID_MAX, "%s.%08x", station_.c_str(), packet.sourceId);
    std::string upload = BASE_DIR + "upload/" + stationId_ + "/";
    mkdirs(upload, true);
    chmod(upload.c_str(), MODE_SHARED_FOLDER);
  }
  id_ = packet.sourceId;
  makeStationId();

  if (!haveChannel) {
    logLine(log_, LOG_ADD, "PROBLEM with CHANNEL NAME:%s", channel.c_str());
  } else {
    setChanname(channel);
  }
  const int s = getChannelIndex(channel);
  const hptime_t end = packet.getMiniseedEndTime();
  if (start != expectedStart_[s]) {
    // Interface log line
    logLine(log_, LOG_ADD, "GAP %s End:%s  Start:%s  %0.3f  sps:%d", channel.c_str(),
            seedTimeMs(expectedStart_[s]).c_str(), seedTimeMs(start).c_str(),
            static_cast<float>(start - expectedStart_[s]) / HPTMODULUS, static_cast<int>(rate));
  }
  expectedStart_[s] = end;
  insertPacket(packet);
  if (ringEnabled_) sendPacketToRing(packet);
  sendPacketToMonitor(packet);
  return true;
}

bool PacketArchive::addTrigger(const SelvomaPacket& packet) {
  if (trigger_ != nullptr &&
      !trigger_->writeTrigger(packet, network_, station_, location_, channels_[SLOT_Z], id_)) {
    logLine(log_, LOG_ADD, "Trigger rejected. trigger sleep=%dsecs", trigger_->getRejectSeconds());
    return false;
  }
  SelTrigger record;
  if (!packet.getSelTrigger(&record)) return true;
  const bool waveType = std::find(std::begin(WAVE_TRIGGER_TYPES), std::end(WAVE_TRIGGER_TYPES),
                                  record.alarmType) != std::end(WAVE_TRIGGER_TYPES);
  if (waveType && trigWaveEnabled_ && gaps_ != nullptr) {
    const time_t t = SelvomaPacket::selTimeToTime_t(static_cast<uint32_t>(record.time));
    if (triggerBackfill_) {
      const time_t m0 = (t - trigPreSecs_) / 60 * 60;
      const time_t n = ((t + trigPostSecs_) - m0) / 60;
      for (time_t k = n; k >= 0; --k) {
        gaps_->push(stationId_, m0 + 60 * k, TRIGGER_GAP_SECS, Gap::DLTRIG, log_);
      }
      gaps_->pushBuildTrigger(stationId_, t, (t + trigPostSecs_) / 60 * 60 + TRIGGER_BUILD_EXTRA,
                              log_);
    } else {
      gaps_->pushBuildTrigger(stationId_, t, t + trigPostSecs_, log_);
    }
  }
  sendPacketToMonitor(packet);
  return true;
}

void PacketArchive::setRing(const std::string& path, bool enabled) {
  std::string folder = bounded(path, RING_PATH_MAX);
  if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  if (folder.compare(0, 2, "%U") == 0) folder = HOMEDIR + folder.substr(2);
  ringPath_ = folder;
  ringEnabled_ = enabled;
  if (enabled) mkdirs(ringPath_, true);
}

void PacketArchive::sendPacketToRing(const SelvomaPacket& packet) {
  sendMiniseedToRing(packet.payload(), static_cast<int>(packet.payloadLen()));
  // Every link writes into the one scan folder, so one link cleans it per
  // interval: the first whose turn comes claims it. (With each link cleaning
  // on its own, hundreds of links listed thousands of files at once.)
  static std::atomic<time_t> lastRingCleanup{0};
  const time_t now = clock_ ? clock_() : time(nullptr);
  time_t last = lastRingCleanup.load(std::memory_order_relaxed);
  if ((now - last >= RING_CLEANUP_SECS || now < last) &&
      lastRingCleanup.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
    deleteOldFiles(ringPath_, RING_MAX_AGE_SECS);
  }
}

void PacketArchive::sendMiniseedToRing(const uint8_t* bytes, int length) {
  if (length <= 0 || length > RING_RECORD_MAX) {
    pprintf("sendMiniseedToRing too long.  payloadlen=%d\n", length);
    return;
  }
  MSTrace header;
  Miniseed::getMSTraceHeader(bytes, &header);
  const time_t second = static_cast<time_t>(header.starttime / HPTMODULUS);
  const std::string path = sformat(
      "%s/%s.%s.%s.%s.%s.ms", ringPath_.c_str(), formatUtc(second, "%Y-%m-%d_%H%M_%S").c_str(),
      safePathCode(header.network).c_str(), safePathCode(header.location).c_str(),
      safePathCode(header.station).c_str(), safePathCode(header.channel).c_str());
  RingWriter::offer(path, bytes, static_cast<size_t>(length));
}

void PacketArchive::insertPacket(const SelvomaPacket& packet) {
  holdGapSlot();
  if (gaps_ != nullptr) {
    gaps_->setDataTime(stationId_, startSecond(packet));
    gaps_->storeIfChanged(stationId_);
  }
  const size_t batch = packet.getMiniseedSampleRate() > FAST_RATE ? BATCH_FAST : BATCH;
  if (buffer_.size() >= batch) {
    write();
    clear();
  }
  buffer_.push_back(packet);
}

void PacketArchive::flush() {
  if (!buffer_.empty()) {
    write();
    clear();
    noteTimeFile(newestWritten_);
  }
  // The link's last records reach the ring server before it goes.
  if (ringEnabled_) RingWriter::drain(RING_DRAIN_MS);
  closeMinutes();
  const time_t now = time(nullptr);
  for (int i = 0; i < NUM_ARCHIVES; ++i) {
    ArchiveFile& archive = archives_[i];
    if (!archive.isEnabled()) continue;
    while (archive.closeOut(log_)) finishWrite(archive.getFinishedPath(), i + 1, now);
  }
}

std::string PacketArchive::minutePath(int index, time_t t, bool track) {
  return archives_[index].mkdirs(network_, station_, id_, t, 0, MINUTE_EXTENSION, track);
}

void PacketArchive::write() {
  if (buffer_.empty()) {
    logLine(log_, LOG_ADD, "PacketArchive.write(), but _index==0 %s, forcewrite=%d",
            stationId_.c_str(), 0);
    return;
  }
  const time_t t = startSecond(buffer_.front());
  const bool finishingHeld = trigger_ != nullptr && trigger_->tooEarly(TRIGGER_HOLD_SECS);
  std::array<std::string, NUM_ARCHIVES> paths;
  for (int i = 0; i < NUM_ARCHIVES; ++i) {
    ArchiveFile& archive = archives_[i];
    if (t >= 1) paths[i] = minutePath(i, t, true);
    if (finishingHeld) {
      if (!archive.getFinishedPath().empty()) touchFile(archive.getFinishedPath(), 0);
    } else if (archive.isEnabled()) {
      // Every finished minute, oldest first, even when several finished
      // before the first could be reported.
      while (archive.changed(log_)) {
        finishWrite(archive.getFinishedPath(), i + 1, t);
        noteTimeFile(t);
      }
    }
  }

  const bool recordByRecord = trigger_ != nullptr && trigger_->tooEarly(TRIGGER_RECORD_SECS);
  for (int i = 0; i < NUM_ARCHIVES; ++i) {
    if (!archives_[i].isEnabled() || t < 1) continue;
    if (!recordByRecord) {
      std::vector<uint8_t> block;
      for (const SelvomaPacket& p : buffer_) {
        block.insert(block.end(), p.payload(), p.payload() + p.payloadLen());
      }
      if (paths[i].empty() || !appendToMinute(i, paths[i], block.data(), block.size())) {
        storeFailed(i, paths[i], buffer_.front(), buffer_.back());
      }
      continue;
    }
    // Each record goes to the file of its own end time, whatever its length.
    for (const SelvomaPacket& p : buffer_) {
      const time_t endSecond = static_cast<time_t>(p.getMiniseedEndTime() / HPTMODULUS);
      if (endSecond < 1) continue;
      std::string path = minutePath(i, endSecond, false);
      if (path.empty() ||
          !appendToMinute(i, path, p.payload(), static_cast<size_t>(p.payloadLen()))) {
        storeFailed(i, path, p, p);
      }
    }
  }
  for (const SelvomaPacket& p : buffer_) newestWritten_ = std::max(newestWritten_, startSecond(p));
}

void PacketArchive::storeFailed(int index, const std::string& path, const SelvomaPacket& first,
                                const SelvomaPacket& last) {
  const time_t start = startSecond(first);
  const time_t end = static_cast<time_t>(last.getMiniseedEndTime() / HPTMODULUS);
  StoreFailure& note = storeFailures_[index];
  const time_t now = clock_();
  if (path != note.path || now - note.loggedAt >= STORE_FAILURE_LOG_SECS) {
    note.path = path;
    note.loggedAt = now;
    logLine(log_, LOG_ADD, "Cannot store records in archive %d [%s], backfill gap %ld-%ld",
            index + 1, path.c_str(), static_cast<long>(start), static_cast<long>(end));
  }
  if (gaps_ != nullptr)
    gaps_->push(stationId_, start, std::max<time_t>(end - start, 1), Gap::DLBACK, log_);
}

void PacketArchive::dezip(const std::string& path) {
  const std::string zip = MinuteZip::zipPathFor(path);
  if (!dezipper_ || !isFile(zip)) return;
  const long long before = getFileSize(path);
  if (!dezipper_(zip, path)) {
    // The minute file is put back as it was; what is appended to it now is
    // merged into the zip that stays when the minute is zipped again.
    if (before < 0) {
      removeFile(path);
    } else if (truncate(path.c_str(), before) != 0) {
      logLine(log_, LOG_ADD, "Cannot cut [%s] back to %lld bytes", path.c_str(), before);
    }
    logLine(log_, LOG_ADD, "dezip failed [%s], records kept in [%s] until zipped with it",
            zip.c_str(), path.c_str());
    return;
  }
  removeFile(zip);
  logLine(log_, LOG_ADD, "dezip [%s]", zip.c_str());
}

bool PacketArchive::writeBytes(const std::string& path, const uint8_t* bytes, size_t length) {
  return appendToMinute(0, path, bytes, length);
}

bool PacketArchive::appendToMinute(int index, const std::string& path, const uint8_t* bytes,
                                   size_t length) {
  OpenMinute& open = openMinutes_[index];
  if (open.fd >= 0 && open.path != path) {
    // The writes moved to another minute.
    close(open.fd);
    open.fd = -1;
    open.path.clear();
  }
  // Held against the zip job's placing of the zip and removal of the minute.
  MinuteLock lock(path);
  struct stat atPath, opened;
  if (open.fd >= 0 && (stat(path.c_str(), &atPath) != 0 || fstat(open.fd, &opened) != 0 ||
                       atPath.st_ino != opened.st_ino || atPath.st_dev != opened.st_dev)) {
    // Zipped and removed, or replaced, since the last batch.
    close(open.fd);
    open.fd = -1;
  }
  if (open.fd < 0) {
    dezip(path);
    open.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, MODE_SHARED_FILE);
    if (open.fd < 0) {
      open.path.clear();
      return false;
    }
    open.path = path;
    fchmod(open.fd, MODE_SHARED_FILE);
  }
  const AppendOutcome outcome = appendWhole(open.fd, bytes, length);
  if (outcome.whole) return true;
  // A short write leaves no partial record behind (the records come again).
  if (outcome.before >= 0 && !outcome.cutBack) {
    logLine(log_, LOG_ADD, "Cannot cut [%s] back to %lld bytes", path.c_str(),
            static_cast<long long>(outcome.before));
  }
  closeMinutes(path);
  return false;
}

void PacketArchive::closeMinutes(const std::string& path) {
  for (OpenMinute& open : openMinutes_) {
    if (open.fd < 0 || (!path.empty() && open.path != path)) continue;
    close(open.fd);
    open.fd = -1;
    open.path.clear();
  }
}

Miniseed::RecordList PacketArchive::recordsOfMinute(const std::string& path) {
  MinuteLock lock(path);
  std::vector<uint8_t> plain, zipped;
  if (isFile(path)) readFile(path, plain);
  const std::string zip = MinuteZip::zipPathFor(path);
  if (isFile(zip)) Zipper::extractFile(zip, path.substr(path.rfind('/') + 1), &zipped);
  plain.insert(plain.end(), zipped.begin(), zipped.end());
  return Miniseed::arrayToPackets(plain.data(), plain.size());
}

bool PacketArchive::storeDownloadedMinute(const uint8_t* bytes, size_t length, time_t t) {
  const Miniseed::RecordList all = Miniseed::arrayToPackets(bytes, length);
  if (all.empty()) {
    logLine(log_, LOG_ADD, "Downloaded minute %ld holds no record (%zu bytes)",
            static_cast<long>(t), length);
    return false;
  }
  // Live records still in the buffer reach their minutes first, so that the
  // merge finds them there.
  if (!buffer_.empty()) {
    write();
    clear();
  }
  bool ok = true;
  for (int i = 0; i < NUM_ARCHIVES; ++i) {
    if (!archives_[i].isEnabled()) continue;
    std::string path = minutePath(i, t, false);
    if (path.empty()) {
      logLine(log_, LOG_ADD, "No archive path for the downloaded minute %ld", static_cast<long>(t));
      ok = false;
      continue;
    }
    if (path.find(MINUTE_EXTENSION) == std::string::npos) path += MINUTE_EXTENSION;
    // A live batch is written to the minute of its first record, and the
    // channels interleave, so records of this minute may be in the minutes
    // around it.
    Miniseed::RecordList around;
    for (time_t other : {t - 60, t + 60}) {
      std::string neighbour = minutePath(i, other, false);
      if (neighbour.empty()) continue;
      if (neighbour.find(MINUTE_EXTENSION) == std::string::npos) neighbour += MINUTE_EXTENSION;
      if (neighbour == path) continue;
      const Miniseed::RecordList records = recordsOfMinute(neighbour);
      around.insert(around.end(), records.begin(), records.end());
    }
    Miniseed::RecordList downloaded;
    for (const Miniseed::Record& r : all) {
      if (!Miniseed::containsPacket(around, r.data())) downloaded.push_back(r);
    }
    size_t before = 0, after = 0;
    bool written = false;
    {
      MinuteLock lock(path);
      dezip(path);
      std::vector<uint8_t> old;
      if (isFile(path)) readFile(path, old);
      const Miniseed::RecordList existing = Miniseed::arrayToPackets(old.data(), old.size());
      Miniseed::RecordList merged;
      Miniseed::merge(&merged, existing, downloaded);
      std::stable_sort(merged.begin(), merged.end(),
                       [](const Miniseed::Record& a, const Miniseed::Record& b) {
                         return Miniseed::getStartTime(a.data()) < Miniseed::getStartTime(b.data());
                       });
      before = existing.size();
      after = merged.size();
      const std::vector<uint8_t> out = Miniseed::packetsToArray(merged);
      const std::string temporary = path + ".tmp";
      FILE* f = fopen(temporary.c_str(), "wb");
      written = f != nullptr && fwrite(out.data(), 1, out.size(), f) == out.size();
      if (f != nullptr && fclose(f) != 0) written = false;
      chmod(temporary.c_str(), MODE_SHARED_FILE);
      written = written && rename(temporary.c_str(), path.c_str()) == 0;
      if (!written) removeFile(temporary);
    }
    if (!written) {
      logLine(log_, LOG_ADD, "Cannot store the downloaded minute [%s]", path.c_str());
      ok = false;
      continue;
    }
    logLine(log_, LOG_ADD, "Downloaded minute [%s]: %zu records added to %zu", path.c_str(),
            after - before, before);
    finishWrite(path, i + 1, t);
  }
  return ok;
}

void PacketArchive::finishWrite(const std::string& path, int archiveNumber, time_t t) {
  closeMinutes(path);  // the zip job takes the minute now
  if (!isFile(path)) {
    logLine(log_, LOG_ADD, "finishWrite msFile==null  wavePath=%s", path.c_str());
  } else if (minuteHook_) {
    minuteHook_(path, archiveNumber, t);
  }
  if (deletionCounter_ <= DELETE_AFTER_MINUTES + randn(DELETE_SPREAD)) {
    ++deletionCounter_;
  } else {
    archives_[archiveNumber - 1].deleteOld();
    deletionCounter_ = 0;
  }
}

// ---------------------------------------------------------------- time file

std::string PacketArchive::getTimeFilePath() const {
  const std::string base = getBaseOrRamdisk();
  if (base.empty() || stationId_.find(NIL_STATION) != std::string::npos ||
      stationId_.size() < TIME_FILE_ID_MIN) {
    return std::string();
  }
  return base + TIME_DIR + stationId_ + TIME_EXTENSION;
}

void PacketArchive::writeTimeFile(time_t t) {
  const std::string path = getTimeFilePath();
  if (path.empty()) return;
  // Written beside the file and renamed over it, so that a reader (the
  // restart gap of the next link) never meets a missing or partial time.
  const std::string temp = path + TEMP_EXTENSION;
  FILE* f = fopen(temp.c_str(), "w");
  if (f == nullptr) {
    const std::string dir = getBaseOrRamdisk() + TIME_DIR;
    mkdir(dir.c_str(), MODE_SHARED_FOLDER);
    chmod(dir.c_str(), MODE_SHARED_FOLDER);
    f = fopen(temp.c_str(), "w");
    if (f == nullptr) return;
  }
  const bool ok = fprintf(f, "%ld", static_cast<long>(t)) > 0;
  if (fclose(f) != 0 || !ok) {
    removeFile(temp);
    return;
  }
  chmod(temp.c_str(), MODE_SHARED_FILE);
  if (rename(temp.c_str(), path.c_str()) != 0) {
    removeFile(temp);
    return;
  }
  timeFileValue_ = t;
}

void PacketArchive::touchTimeFile() {
  const std::string path = getTimeFilePath();
  if (path.empty()) return;
  if (!isFile(path)) writeTimeFile(clock_());
  touchFile(path, 0);
}

void PacketArchive::checkForRestartGap(const SelvomaPacket& packet) {
  if (restartGapDone_) return;
  const time_t t = startSecond(packet);
  // Interface log line
  logLine(log_, LOG_ADD, "Adding Restart Gap [%s], %ld=%d", station_.c_str(), static_cast<long>(t),
          static_cast<int>(packet.getStartSec()));
  if (gaps_ != nullptr) {
    // The gap starts at the last data time before the outage: the time file
    // as this link found it (kept at its first write), else as it is now.
    const bool kept = previousTime_.kept && previousTime_.stationId == stationId_;
    gaps_->addRestartGap(stationId_, t, kept ? previousTime_.time : readTimeFile(), log_);
  }
  restartGapDone_ = true;
}

time_t PacketArchive::readTimeFile() const {
  std::vector<uint8_t> bytes;
  const std::string path = getTimeFilePath();
  if (path.empty() || readFile(path, bytes) <= 0) return 0;
  const std::string text(bytes.begin(), bytes.begin() + std::min(bytes.size(), TIME_FILE_READ_MAX));
  char* rest = nullptr;
  errno = 0;
  const long long value = strtoll(text.c_str(), &rest, 10);
  if (rest == text.c_str() || errno != 0 || value < 1 || value > GAP_TIME_MAX) {
    logLine(log_, LOG_ADD, "Time file [%s] does not hold a time", path.c_str());
    return 0;
  }
  return static_cast<time_t>(value);
}

void PacketArchive::noteTimeFile(time_t t) {
  if (restartGapWanted_ && !restartGapDone_ && !previousTime_.kept) {
    previousTime_.kept = true;
    previousTime_.stationId = stationId_;
    previousTime_.time = readTimeFile();
  }
  writeTimeFile(t);
}

// ---------------------------------------------------------------- configuration

void PacketArchive::setArchiveTemplate(const std::string& template1, const std::string& template2,
                                       ArchiveFile::ArchiveFormat format1,
                                       ArchiveFile::ArchiveFormat format2) {
  const std::string templates[NUM_ARCHIVES] = {template1, template2};
  const ArchiveFile::ArchiveFormat formats[NUM_ARCHIVES] = {format1, format2};
  for (int i = 0; i < NUM_ARCHIVES; ++i) {
    // An unchanged template keeps its tracking. A changed one starts afresh
    // once the minutes still waiting to be finished under the old one are
    // handed on.
    ArchiveFile& archive = archives_[i];
    if (archive.getTemplate() != ArchiveFile::templateFor(templates[i])) {
      if (archive.isEnabled()) {
        while (archive.closeOut(log_)) finishWrite(archive.getFinishedPath(), i + 1, clock_());
      }
      archive.init();
      archive.setTemplate(templates[i]);
    }
    archive.setFormat(formats[i]);
  }
  if (extractIsArchive1_) extractArchive_.setTemplate(archives_[0].getTemplate());
}

void PacketArchive::setExtractArchiveTemplate(const std::string& text) {
  extractIsArchive1_ = text.empty();
  extractArchive_.init();
  extractArchive_.setTemplate(extractIsArchive1_ ? archives_[0].getTemplate() : text);
}

void PacketArchive::setOldDays(int days1, int days2) {
  constexpr int32_t DAY_SECONDS = 86400;
  archives_[0].setAgeLimit(days1 * DAY_SECONDS);
  archives_[1].setAgeLimit(days2 * DAY_SECONDS);
}

void PacketArchive::setTrigWave(int preSecs, int postSecs, bool enabled) {
  trigPreSecs_ = preSecs;
  trigPostSecs_ = postSecs;
  trigWaveEnabled_ = enabled;
}

void PacketArchive::setMonitor(const std::string& folder, int maxFiles, bool enabled) {
  if (enabled) monitor_.setDir(folder);
  monitor_.setMaxFiles(maxFiles);
  monitor_.setEnabled(enabled);
}

void PacketArchive::sendPacketToMonitor(const SelvomaPacket& packet) {
  if (!monitor_.isEnabled() || monitor_.isFull()) return;
  if (packet.type == SelvomaPacket::MINISEED) {
    const time_t now = clock_();
    if (now - monitorSettingsTime_ > MONITOR_SETTINGS_SECS) {
      monitorSettingsTime_ = now;
      sendDownloadToMonitor("settings.ss");
    }
    monitor_.addPacket(packet, log_);
    return;
  }
  SelTrigger record;
  if (packet.type != SelvomaPacket::TRIGGER || !packet.getSelTrigger(&record)) return;
  if (std::find(std::begin(WAVE_TRIGGER_TYPES), std::end(WAVE_TRIGGER_TYPES), record.alarmType) ==
      std::end(WAVE_TRIGGER_TYPES)) {
    return;
  }
  const std::string vertical = getChanname(SLOT_Z);
  monitor_.writeTrigger(packet, station_, network_, location_,
                        vertical.empty() ? SUM_NAME : vertical, log_);
}

void PacketArchive::sendDownloadToMonitor(const std::string& name) {
  if (!monitor_.isEnabled() || stationId_.empty()) return;
  const std::string path = DOWNLOAD_DIR + stationId_ + "/" + name;
  if (isFile(path)) monitor_.copyAs(path, stationId_ + "." + name, log_);
}

// ---------------------------------------------------------------- queries

std::string PacketArchive::getFilePath(time_t t) {
  struct tm broken;
  gmtm(&broken, t);
  return archives_[0].getPath(network_, station_, id_, broken, 0, ZIPPED_MINUTE_EXTENSION, false);
}

std::unique_ptr<Gap> PacketArchive::getGap(time_t offset) {
  if (gaps_ == nullptr) return nullptr;
  return gaps_->pop(stationId_, log_, offset);
}

void PacketArchive::deleteBackfills() {
  logLine(log_, LOG_ADD, "Deleting Backfills");
  if (gaps_ != nullptr) gaps_->deleteBackfills(stationId_);
}

void PacketArchive::storeChangedGaps() {
  if (gaps_ != nullptr && !gapStation_.empty()) gaps_->storeIfChanged(gapStation_);
}

void PacketArchive::holdGapSlot() {
  if (gaps_ == nullptr || stationId_ == gapStation_) return;
  // The new station is counted before the old one is let go.
  gaps_->attach(stationId_);
  if (!gapStation_.empty()) gaps_->detach(gapStation_);
  gapStation_ = stationId_;
}
