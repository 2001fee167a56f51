// The session's members, start, main loop, dispatcher and end.
#include "session/SeisServerState.h"

#include <cstdarg>
#include <cstring>

#include "hub/Log.h"
#include "hub/VhProps.h"
#include "io/IO.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

SeisServerState::SeisServerState() { zero(); }

SeisServerState::~SeisServerState() {
  // The site folder entry is removed and a running trigger waveform thread
  // is waited for here once those components exist.
}

bool SeisServerState::init(IO* io, VhProps* props, Gapses* gaps, Log* log) {
  log_ = log;
  logAdd("start init");
  upload_.setLog(log);
  props_ = props;
  upload_.setMaxWait(props->getFilePartWait());
  props->reread();
  state_ = INIT_IDENTIFY;
  ownId_ = static_cast<uint32_t>(props->getIntKey("sourceid"));
  // "flash" (the text flash of uploads) and "overwritestationxml" are read
  // here by the firmware uploader and the StationXML writer of a later version.
  if (log_ != nullptr) log_->setVerbose(props->doVerbose());
  // Client request files (RequestFiles) and the site folder (SiteFolder) are
  // placed under the transactions folder here in a later version.
  ssFile_.setChars("source", io != nullptr ? io->getDescription() : "");
  upload_.setSsFile(&ssFile_);
  io_ = io;
  gaps_ = gaps;
  // Histogram properties and "broadcast" (trigger handling) are read here in
  // a later version.
  rw_.init(ownId_, io, log);
  archive_.setLog(log);
  // Archive templates, formats, old-days limits, zipping, trigger archives,
  // "backfill", "backfillhours", the monitor folder, the ring server and the
  // trigger waveform settings are given to their components here in a later
  // version.
  ssTimer_.setActive(props->doSettingCommands());
  ssTimer_.setLog(log);
  receiveDeltaSecs_ = RECEIVE_DELTA_SECS;
  loopTimeoutMs_ = 1000 * props->getIntKey("timeout");
  // "flashenabled" and "flashinterval" go to firmware flashing (Flash) here
  // in a later version.
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
  lastRxTic_ = getMillisec();
  ackSeq_ = 255;
  vhSeq_ = 255;
  // The pending setting requests (gap store request queue) are emptied here
  // in a later version.
  lastAckedSeq_ = -1;
  // The next histogram check is set here in a later version.
  samplingRestartPending_ = true;
  lag_ = LAG_UNSET;
}

void SeisServerState::loop() {
  logAdd("LOOP START   %s", io_ != nullptr ? io_->getDescription() : "");
  noReplyCount_ = 0;
  loopStartTime_ = time(nullptr);
  time_t lastPeriodic = loopStartTime_;
  time_t lastAckTime = loopStartTime_;
  for (;;) {
    if (stopRequested_.load(std::memory_order_acquire)) {
      logAdd("Stop requested.  FINISH");
      state_ = FINISH;
      break;
    }
    if ((io_ == nullptr || io_->available() < 1) && state_ != PROCESS) sleepu(IDLE_SLEEP_US);
    if (log_ != nullptr) {
      long silent = log_->secsSinceLastLog();
      long limit = log_->getVerbosness() == -1 ? SILENCE_LOG_SECS_QUIET : SILENCE_LOG_SECS;
      if (silent > limit) {
        logAdd("Nothing Logged in %ld seconds _state=%d", silent, state_.load());
        lastErrorTime_ = time(nullptr);
      }
    }
    if (getMillisec() - lastRxTic_ > loopTimeoutMs_) {
      logAdd("No good frame in %d ms.  FINISH", loopTimeoutMs_);
      state_ = FINISH;
      break;
    }
    time_t now = time(nullptr);
    if (now - lastAckTime >= KEEPALIVE_SECS && lastGoodStationId_ > 0) {
      lastAckTime = now;
      if (!sendKeepAlive()) {
        state_ = FINISH;
        break;
      }
    }
    state_ = runState(state_);
    if (state_ == FINISH) break;
    if (state_ == PROCESS) continue;
    now = time(nullptr);
    if (now - lastPeriodic >= PERIODIC_SECS) {
      periodic();
      lastPeriodic = now;
      if (state_ == FINISH) break;
    }
  }
  finish();
  logAdd("loop end");
}

void SeisServerState::periodic() {
  // Gap requests (gap store, backfill) are looked for here in a later
  // version, and the ring server outlet is started, stopped or restarted by
  // "ringenabled".
  if (props_->changed(propsModTime_)) {
    init(io_, props_, gaps_, log_);
    state_ = READ;
  }
  if (props_->getIntKey("serialenabled") != 1 && io_ != nullptr &&
      io_->getKind() == IO::KIND_SERIAL) {
    logAdd("serialenabled off.  FINISH");
    state_ = FINISH;
  }
  checkTidora();
  // The settings file is copied to the monitor folder here in a later version.
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
      logFlush("Unknown state. FINISH.");
      return FINISH;
  }
}

int SeisServerState::dataAckInterval() const {
  return ssFile_.getBuildNo() <= BUILD_ACK_EVERY_FRAME ? 1 : DATA_ACK_INTERVAL;
}

void SeisServerState::checkSequence() {
  int expected = (lastAckedSeq_ + 1) % 256;
  if (lastAckedSeq_ >= 0 && received_.seqNo != expected) {
    logAdd("Why seqNo==%d and not %d?", received_.seqNo, expected);
  }
}

int SeisServerState::process(bool checkSeq) {
  const int n = dataAckInterval();
  switch (received_.type) {
    case SelvomaPacket::TRIGGER:
      if (checkSeq) checkSequence();
      // Trigger handling (Trigger) stores the trigger here in a later version.
      return sendACK(true, n);
    case SelvomaPacket::MINISEED:
      if (checkSeq) {
        sampleRate_ = static_cast<float>(received_.getMiniseedSampleRate());
        checkSequence();
      }
      storeMiniseed();
      return sendACK(true, n);
    case SelvomaPacket::RESPONSE_FILE_NAME:
      // The file retrieval (DremoFiles) takes the name here in a later version.
      return sendACK(true, 1);
    case SelvomaPacket::REQUEST_FILE:
      if (received_.payloadLen() >= 1 && received_.payloadLen() <= REQUEST_FILE_MAX_NAME) {
        // Client request handling (RequestFiles) answers the instrument's
        // request here in a later version.
        return READ;
      }
      return sendACK(true, 1);
    case SelvomaPacket::FILE_PART: {
      int next = sendACK(true, n);
      FilePart part;
      if (!received_.getFilePart(&part)) {
        logAdd("process RESPONSE_FILE FALSE!");
      } else {
        // The file retrieval (DremoFiles) and the monitor folder take the
        // part here in a later version.
        logAdd("huh?  _dremoFiles==NULL?");
      }
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
      logAdd("Bad Packet. Sending NACK");
      outgoing_.make(SelvomaPacket::NACK, ownId_, received_.sourceId, received_.seqNo);
      ackSeq_ = received_.seqNo;
      lastAckedSeq_ = received_.seqNo;
      return SEND;
    case SelvomaPacket::IDENTIFY:
      return READ;
    case SelvomaPacket::IDENT_NL:
      // The file retrieval (DremoFiles) is reset here in a later version.
      return INIT_LINK;
    case SelvomaPacket::LINK_INIT:
      logAdd("Unexpected LINK_INIT.  Resetting.");
      return INIT_IDENTIFY;
    case SelvomaPacket::NACK:
      vhSeq_ = SelvomaPacket::decrementSeqNo(received_.seqNo);
      logAdd("NACK BACKTRACK.  set _seqNo=%d", vhSeq_);
      return READ;
    case SelvomaPacket::ACK:
      upload_.setAckSeqNo(received_.seqNo);
      return NEXT_REQUEST;
    default:
      logAdd("UNKNOWN(%02x)", received_.type);
      return sendACK(true, 1);
  }
}

void SeisServerState::storeMiniseed() {
  bool stored = archive_.addPacket(received_);
  if (!storedData_) {
    hptime_t end = received_.getMiniseedEndTime();
    if (end > 0) setLag(static_cast<long>(time(nullptr) - end / HPTMODULUS));
  }
  if (!archive_.getStation().empty()) updateStationLabel();
  if (stored) storedData_ = true;
}

void SeisServerState::updateStationLabel() {
  std::string label =
      sformatBounded(STATION_LABEL_MAX, "%s.%08x", archive_.getStation().c_str(), instrumentId());
  if (label == stationLabel_) return;
  stationLabel_ = label;
  if (log_ != nullptr) log_->setStation(stationLabel_.c_str());
}

void SeisServerState::finish() {
  // The archive's backfill files are deleted here (when backfill is off), the
  // download path is cleared and the activity entry "closed" is written once
  // those components exist.
  upload_.clearPackets();
  rw_.disconnect();
  // The station is removed from the site folder (SiteFolder) here in a later version.
  if (io_ != nullptr && io_->getKind() == IO::KIND_SERIAL) logFlush("\nSLEEP BEFORE FINISH");
  logFlush("FINISH\n\n");
}

void SeisServerState::logAdd(const char* format, ...) {
  if (log_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = vsformat(format, args);
  va_end(args);
  log_->add(text.c_str());
}

void SeisServerState::logFlush(const char* format, ...) {
  if (log_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = vsformat(format, args);
  va_end(args);
  log_->flush(text.c_str());
}

void SeisServerState::logVerbose(const char* format, ...) {
  if (log_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = vsformat(format, args);
  va_end(args);
  log_->addVerbose(text.c_str());
}
