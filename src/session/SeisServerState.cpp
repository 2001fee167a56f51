// The session's members, start, main loop, dispatcher and end.
#include "session/SeisServerState.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archive/MinuteZip.h"
#include "archive/RingOutlet.h"
#include "core/Log.h"
#include "core/VhProps.h"
#include "gaps/Gapses.h"
#include "io/IO.h"
#include "metadata/StationXml.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

// The first record of a minute file; false when it holds none.
bool firstRecord(const std::string& path, std::vector<uint8_t>* record) {
  record->assign(Miniseed::RECORD_LENGTH, 0);
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  const size_t n = fread(record->data(), 1, record->size(), f);
  fclose(f);
  return n == record->size() && Miniseed::isMiniseed(record->data(), record->size());
}

// Hands a finished minute to the zip workers. The work order holds copies of
// everything the zip job needs, since the job may outlive the
// session; the settings download copy is written first so that the job
// zips the current settings.
void zipMinute(PacketArchive* archive, SsFile* ssFile, Trigger* trigger, Log* log,
               const std::string& path, int archiveNumber) {
  auto order = std::make_unique<MinuteZipOrder>();
  order->minutePath = path;
  // The minute's trigger files: a record goes to the minute file of its end
  // time, so the minute is that of the first record's end (the write that
  // noticed the finished minute is later, and the record may start in the
  // minute before).
  std::vector<uint8_t> first;
  if (firstRecord(path, &first)) {
    trigger->getTriggerPaths(order->files, archive->getNetwork(), archive->getStation(),
                             archive->getId(),
                             static_cast<time_t>(Miniseed::getEndTime(first.data()) / HPTMODULUS));
  }
  order->stationId = archive->getStationWithId();
  order->id = archive->getId();
  order->format = archive->getArchive(archiveNumber - 1).getFormat();
  order->zipArchive = archive->isZipArchive();
  ssFile->writeDownload(order->stationId, log);
  std::vector<uint8_t> settingsBytes;
  if (readFile(DOWNLOAD_DIR + order->stationId + "/settings.ss", settingsBytes) > 0) {
    order->settings.assign(settingsBytes.begin(), settingsBytes.end());
  }
  const ChannelNames names = archive->getChannames();
  order->makeStationXml = [names](const std::string& settings, const std::string& destination) {
    return StationXml::copyConvert(settings, destination, names) == 1;
  };
  MinuteZip::start(std::move(order), log);
}

// A late record for a zipped minute: the minute's entry is appended to the
// minute file beside the zip.
bool dezipMinute(const std::string& zipPath, const std::string& minutePath) {
  const size_t slash = minutePath.rfind('/');
  if (slash == std::string::npos) return Zipper::extractFile(zipPath, minutePath, ".", true);
  return Zipper::extractFile(zipPath, minutePath.substr(slash + 1), minutePath.substr(0, slash),
                             true);
}

}  // namespace

SeisServerState::SeisServerState()
    : monoClock_([] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
      }) {
  rw_.setWaitHook([this] { return whileReadWaits(); });
  zero();
}

SeisServerState::~SeisServerState() {
  leaveStatus();
  removeSiteMarker();
  waitForTriggerZip();
}

bool SeisServerState::init(IO* io, VhProps* props, Gapses* gaps, Log* log) {
  log_ = log;
  logLine(log_, LOG_ADD, "start init");
  upload_.setLog(log);
  props_ = props;
  upload_.setMaxWait(props->getFilePartWait());
  flash_.setLog(log);
  props->reread();
  state_ = INIT_IDENTIFY;
  ownId_ = static_cast<uint32_t>(props->getIntKey("sourceid"));
  overwriteStationXml_ = props->isOn("overwritestationxml");
  if (log_ != nullptr) log_->setVerbose(props->doVerbose());
  upload_.setTextFlash(props->getIntKey("flash") != 0);
  requestFiles_.init(props->getTransactionsDir(), log);
  siteFolder_.init(props->getTransactionsDir());
  ssFile_.setChars("source", io != nullptr ? io->getDescription() : "");
  upload_.setBuildNo(ssFile_.getBuildNo());
  io_ = io;
  gaps_ = gaps;
  histogram_.readProperties(*props);
  rw_.init(ownId_, io, log);
  archive_.setLog(log);
  archive_.setGapses(gaps);
  dremoFiles_.setLog(log);
  dremoFiles_.setGapses(gaps);
  dremoFiles_.setHistogram(&histogram_);
  archive_.setArchiveTemplate(props->getArchiveTemplate(0), props->getArchiveTemplate(1),
                              static_cast<ArchiveFormat>(props->getArchiveFormat(0)),
                              static_cast<ArchiveFormat>(props->getArchiveFormat(1)));
  archive_.setOldDays(props->getIntKey("archive1days"), props->getIntKey("archive2days"));
  archive_.setExtractArchiveTemplate(props->getTextKey("extractarchive"));
  archive_.setZipArchive(props->doZipArchive());
  archive_.setMinuteHook([this](const std::string& path, int archiveNumber, time_t) {
    zipMinute(&archive_, &ssFile_, &trigger_, log_, path, archiveNumber);
  });
  archive_.setDezipper(dezipMinute);
  doBackfill_ = props->isOn("backfill");
  if (gaps != nullptr) gaps->setOldestHours(props->getIntKey("backfillhours"));
  initTriggers();
  logLine(log_, LOG_ADD, "monitorenabled=%d  monitordir=%s  monitorNumFiles=%d",
          props->getIntKey("monitorenabled"), props->getTextKey("monitordir").c_str(),
          props->getIntKey("monitornumfiles"));
  // The scan folder is the one the ring server's configuration names, in
  // every run mode; without an outlet nothing is written for a ring.
  RingOutlet* ring = getRingOutlet();
  archive_.setRing(ring != nullptr ? ring->getScanDir() : std::string(),
                   ring != nullptr && props->getIntKey("ringenabled") == 1);
  logLine(log_, LOG_ADD, "ringenabled=%d  ringpath=%s", archive_.isRingEnabled() ? 1 : 0,
          archive_.getRingPath().c_str());
  fixGaps_ = props->isOn("fixgaps");
  if (!fixGaps_) logLine(log_, LOG_ADD, "Sample Gap fixing DISABLED");
  archive_.setRestartGapWanted(fixGaps_);
  ssTimer_.setActive(props->doSettingCommands());
  ssTimer_.setLog(log);
  receiveDeltaSecs_ = RECEIVE_DELTA_SECS;
  nextSettingsFileMs_ = monoMs() + 1000LL * SETTINGS_FILE_FIRST_SECS;
  loopTimeoutMs_ = 1000 * props->getIntKey("timeout");
  doSettingFile_ = props->doSettingFile();
  flash_.setEnabled(props->getIntKey("flashenabled") == 1);
  flash_.setPacketInterval(props->getIntKey("flashinterval"));
  // The per-station overrides outlast a reread of the properties.
  if (firstStoreWaveDone_) applyStationOverrides();
  if (getFileSize(props->getPropFilePath()) < PROPS_WRITE_BACK_BYTES) {
    // A new installation gets a complete settings file at its first link.
    props->recordAllDefaults();
    props->write();
  }
  // Noted after the write-back, which would otherwise count as a change.
  propsModTime_ = props->getModTime();
  return true;
}

void SeisServerState::zero() {
  lastRxTic_ = monoMs();
  ackSeq_ = 255;
  vhSeq_ = 255;
  lastAckedSeq_ = -1;
  lastStoreSeq_ = -1;
  samplingRestartPending_ = true;
  lag_ = LAG_UNSET;
}

void SeisServerState::loop() {
  logLine(log_, LOG_ADD, "LOOP START   %s", io_ != nullptr ? io_->getDescription() : "");
  noReplyCount_ = 0;
  joinStatus();
  loopStartMs_ = monoMs();
  int64_t lastPeriodicMs = loopStartMs_;
  lastKeepAliveMs_ = loopStartMs_;
  for (;;) {
    if (stopRequested_.load(std::memory_order_acquire)) {
      logLine(log_, LOG_ADD, "Stop requested.  FINISH");
      drainOnStop();
      state_ = FINISH;
      break;
    }
    if ((io_ == nullptr || io_->available() < 1) && state_ != PROCESS) {
      // Idle in READ: wait for the link's next bytes instead of waking every
      // few ms. The bound keeps the paced sending checked every 100 ms while
      // frames are queued, and the time rules below (keep-alive, time-outs,
      // periodic work, stop requests, all in seconds) every 500 ms when
      // nothing is. Choosing and sending the next frame need no bytes from
      // the link, so they run at once; the other states keep the short pause.
      if (io_ != nullptr && state_ == READ) {
        io_->waitForBytes(1, hasQueuedWork() ? IDLE_WAIT_MAX_US : IDLE_WAIT_QUIET_US);
      } else if (io_ == nullptr || (state_ != NEXT_REQUEST && state_ != SEND)) {
        sleepu(IDLE_SLEEP_US);
      }
    }
    if (log_ != nullptr) {
      long silent = log_->secsSinceLastLog();
      long limit = log_->getVerbosness() == -1 ? SILENCE_LOG_SECS_QUIET : SILENCE_LOG_SECS;
      if (silent > limit) {
        logLine(log_, LOG_ADD, "Nothing Logged in %ld seconds _state=%d", silent, state_.load());
        lastErrorMs_ = monoMs();
      }
    }
    if (monoMs() - lastRxTic_ > loopTimeoutMs_) {
      logLine(log_, LOG_ADD, "No good frame in %d ms.  FINISH", loopTimeoutMs_);
      state_ = FINISH;
      break;
    }
    if (keepAliveFailed_ || !serveKeepAlive()) {
      state_ = FINISH;
      break;
    }
    state_ = runState(state_);
    if (state_ == FINISH || keepAliveFailed_) break;
    if (state_ == PROCESS) continue;
    const int64_t now = monoMs();
    if (now - lastPeriodicMs >= 1000LL * PERIODIC_SECS) {
      periodic();
      lastPeriodicMs = now;
      if (state_ == FINISH) break;
    }
  }
  finish();
  leaveStatus();
  logLine(log_, LOG_ADD, "loop end");
}

void SeisServerState::drainOnStop() {
  // Reads do not wait here: the wait hook ends them on the stop request.
  int state = state_;
  bool dispatched = false;
  for (int frames = 0; frames < STOP_DRAIN_FRAMES_MAX && state != FINISH; ++frames) {
    if (state == PROCESS || state == PROCESS_LOCAL) {
      state = process(state == PROCESS);
      dispatched = true;
      continue;
    }
    if (io_ == nullptr || io_->available() < 1) break;
    const int result = rw_.read(&received_, false);
    if (result == PacketReaderWriter::READ_PACKET) {
      lastRxTic_ = monoMs();
      noteGoodFrame();
      state = PROCESS;
    } else if (result != PacketReaderWriter::READ_FAILED) {
      break;  // only an unfinished frame is left
    }
  }
  // Data acknowledgements may be thinned out: the last frame read is
  // acknowledged explicitly.
  if (dispatched && state != FINISH && lastGoodStationId_ > 0) sendKeepAlive();
}

void SeisServerState::periodic() {
  checkForGapRequest();
  RingOutlet* ring = getRingOutlet();
  startWaitingBuild();
  if (props_->changed(propsModTime_)) {
    props_->reread();
    if (ring != nullptr) ring->setEnabled(props_->getIntKey("ringenabled") == 1);
    init(io_, props_, gaps_, log_);
    state_ = READ;
  } else if (ring != nullptr && props_->getIntKey("ringenabled") == 1) {
    ring->restartIfConfChanged();
  }
  if (props_->getIntKey("serialenabled") != 1 && io_ != nullptr &&
      io_->getKind() == IO::KIND_SERIAL) {
    logLine(log_, LOG_ADD, "serialenabled off.  FINISH");
    state_ = FINISH;
  }
  // A gap list changed within the store's write interval is written now.
  archive_.storeChangedGaps();
  checkTidora();
  publishStatus();
}

bool SeisServerState::hasQueuedWork() const {
  const PacketList& queue = upload_;
  return queue.hasPackets() || flash_.isBusy() || !requests_.empty() ||
         !pendingFileParts_.empty() || !dremoFiles_.isIdle() || samplingRestartPending_ ||
         monoMs() - loopStartMs_ <= 1000LL * SEND_WARMUP_SECS;
}

int SeisServerState::runState(int state) {
  switch (state) {
    case INIT_IDENTIFY:
      return initIdentify();
    case INIT_LINK:
      return initLink();
    case READ:
      return read();
    case PROCESS:
      return process(true);
    case PROCESS_LOCAL:
      return process(false);
    case NEXT_REQUEST:
      return sendNextRequest();
    case SEND:
      return send();
    case FINISH:
      return FINISH;
    default:
      logLine(log_, LOG_FLUSH, "Unknown state. FINISH.");
      return FINISH;
  }
}

int SeisServerState::dataAckInterval() const {
  return ssFile_.getBuildNo() <= BUILD_ACK_EVERY_FRAME ? 1 : DATA_ACK_INTERVAL;
}

void SeisServerState::checkSequence() {
  int expected = (lastAckedSeq_ + 1) % 256;
  if (lastAckedSeq_ >= 0 && received_.seqNo != expected) {
    logLine(log_, LOG_ADD, "Why seqNo==%d and not %d?", received_.seqNo, expected);
  }
}

int SeisServerState::process(bool checkSeq) {
  const int n = dataAckInterval();
  switch (received_.type) {
    case SelvomaPacket::TRIGGER:
      if (checkSeq) checkSequence();
      store(checkSeq);
      return sendACK(true, n);
    case SelvomaPacket::MINISEED:
      if (checkSeq) {
        sampleRate_ = static_cast<float>(received_.getMiniseedSampleRate());
        checkSequence();
      }
      store(checkSeq);
      return sendACK(true, n);
    case SelvomaPacket::RESPONSE_FILE_NAME: {
      int next = sendACK(true, 1);
      if (received_.payloadLen() > 0 && dremoFiles_.isWaitingForName()) takeFileName();
      return next;
    }
    case SelvomaPacket::REQUEST_FILE:
      if (received_.payloadLen() >= 1 && received_.payloadLen() <= REQUEST_FILE_MAX_NAME) {
        const char* chars = reinterpret_cast<const char*>(received_.payload());
        processRequestFile(std::string(chars, strnlen(chars, received_.payloadLen())));
        return READ;
      }
      return sendACK(true, 1);
    case SelvomaPacket::FILE_PART: {
      int next = sendACK(true, n);
      takeFilePart();
      return next;
    }
    case SelvomaPacket::COMMAND: {
      const uint8_t* payload = received_.payload();
      size_t len = std::min(static_cast<size_t>(received_.payloadLen()), COMMAND_TEXT_MAX);
      std::string text;
      if (payload != nullptr) {
        const char* chars = reinterpret_cast<const char*>(payload);
        text.assign(chars, strnlen(chars, len));
      }
      int next = processCommand(text);
      lastAckedSeq_ = ackSeq_;
      upload_.receivedCommand();
      return next;
    }
    case SelvomaPacket::FLASH:
      // Only the hub sends firmware blocks; one from the instrument is ignored.
      return READ;
    case SelvomaPacket::BAD_PACKET:
      logLine(log_, LOG_ADD, "Bad Packet. Sending NACK");
      outgoing_.make(SelvomaPacket::NACK, ownId_, received_.sourceId, received_.seqNo);
      ackSeq_ = received_.seqNo;
      lastAckedSeq_ = received_.seqNo;
      return SEND;
    case SelvomaPacket::IDENTIFY:
      return READ;
    case SelvomaPacket::IDENT_NL:
      return INIT_LINK;
    case SelvomaPacket::LINK_INIT:
      logLine(log_, LOG_ADD, "Unexpected LINK_INIT.  Resetting.");
      return INIT_IDENTIFY;
    case SelvomaPacket::NACK:
      vhSeq_ = SelvomaPacket::decrementSeqNo(received_.seqNo);
      logLine(log_, LOG_ADD, "NACK BACKTRACK.  set _seqNo=%d", vhSeq_);
      return READ;
    case SelvomaPacket::ACK:
      upload_.setAckSeqNo(received_.seqNo);
      return NEXT_REQUEST;
    default:
      logLine(log_, LOG_ADD, "UNKNOWN(%02x)", received_.type);
      return sendACK(true, 1);
  }
}

void SeisServerState::store(bool checkSeq) {
  if (checkSeq && received_.seqNo == lastStoreSeq_) {
    logLine(log_, LOG_ADD, "REPEAT PACKET skipped %d\n", received_.seqNo);
    return;
  }
  lastStoreSeq_ = received_.seqNo;
  switch (received_.type) {
    case SelvomaPacket::TRIGGER:
      storeTrigger(received_);
      break;
    case SelvomaPacket::MINISEED:
      storeMiniseedPacket();
      break;
    default:
      logLine(log_, LOG_ADD, "Unknown packet in store()");
      break;
  }
}

void SeisServerState::storeMiniseedPacket() {
  bool stored = archive_.addPacket(received_);
  if (!storedData_) {
    hptime_t end = received_.getMiniseedEndTime();
    if (end > 0) setLag(static_cast<long>(time(nullptr) - end / HPTMODULUS));
  }
  if (stored && fixGaps_ && ssFile_.numTeleChans() > 0 && !archive_.getStationWithId().empty()) {
    archive_.checkForRestartGap(received_);
  }
  if (!archive_.getStation().empty()) {
    ssFile_.setChars("sitename", archive_.getStation());
    if (ssFile_.getChars("serial").empty()) {
      ssFile_.setChars("serial", sformat("%08x", archive_.getId()));
    }
    std::string channel;
    received_.getMiniseedChannel(&channel);
    if (channel.size() == Miniseed::CHANNEL_LEN && channel[2] == 'O') {
      ssFile_.setChars("ch4_active", "1");
    }
    updateStationLabel();
    if (ssFile_.isChanged()) {
      processSetSetting(sformat("\"sitename\"=\"%s\"", archive_.getStation().c_str()));
      ssFile_.writeDownload(stationLabel_, log_);
      // Written: the same entries must not be written again with every record.
      ssFile_.setChanged(false);
    }
  }
  if (stored) {
    noteStoredForStatus();
    touchSiteMarker();
    checkFirstStoreWave();
    storedData_ = true;
  }
}

void SeisServerState::updateStationLabel() {
  std::string label =
      sformatBounded(STATION_LABEL_MAX, "%s.%08x", archive_.getStation().c_str(), instrumentId());
  if (label == stationLabel_) return;
  stationLabel_ = label;
  flash_.setStation(label);
  dremoFiles_.setStationLabel(label);
  dremoFiles_.setStation(archive_.getStation());
  activity_.init(&archive_);
  if (log_ != nullptr) log_->setStation(stationLabel_.c_str());
}

void SeisServerState::finish() {
  // Records still waiting in the archive's buffer were acknowledged: they
  // reach the minute files before the link goes.
  archive_.flush();
  if (!doBackfill_) archive_.deleteBackfills();
  dremoFiles_.setFilePath("");
  activity_.write("closed");
  requests_.clear();
  clearRequestedFile();
  upload_.restoreUnfinished();
  flash_.restoreUnfinished();
  rw_.disconnect();
  removeSiteMarker();
  if (io_ != nullptr && io_->getKind() == IO::KIND_SERIAL)
    logLine(log_, LOG_FLUSH, "\nSLEEP BEFORE FINISH");
  logLine(log_, LOG_FLUSH, "FINISH\n\n");
}
