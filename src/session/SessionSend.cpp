// Reading, acknowledgement and sending of a session, and the choice of what
// to send next.
#include <cstring>

#include "core/Log.h"
#include "io/IO.h"
#include "session/SeisServerState.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/TimeUtil.h"

int SeisServerState::read() {
  if ((monoMs() - lastRxTic_) / 1000 > receiveDeltaSecs_) {
    logLine(log_, LOG_ADD, "receiveDeltaSecs timeout: %dsecs.  FINISH", receiveDeltaSecs_);
    return FINISH;
  }
  int n = io_->available();
  if (n < 1) {
    if (n < 0) {
      logLine(log_, LOG_ADD, "read available < 0.  FINISH");
      return FINISH;
    }
    return NEXT_REQUEST;
  }
  int result = rw_.read(&received_, false);
  switch (result) {
    case PacketReaderWriter::READ_PACKET:
      lastRxTic_ = monoMs();
      noteGoodFrame();
      return PROCESS;
    case PacketReaderWriter::READ_NOTHING:
      pprintf("NOBYTES\n");
      return NEXT_REQUEST;
    case PacketReaderWriter::READ_STOPPED:
      // A stop request or a failed keep-alive; the loop ends at its next turn.
      return NEXT_REQUEST;
    case PacketReaderWriter::READ_FAILED:
      if (io_->available() < 0) {
        logLine(log_, LOG_ADD, "read available < 0.  FINISH");
        return FINISH;
      }
      lastErrorMs_ = monoMs();
      logLine(log_, LOG_ADD, "BAD rw.receive(). seqNo=%d",
              SelvomaPacket::incrementSeqNo(lastGoodSeq_));
      sendStreamCmd(STREAM_CMD_SECONDS);
      if (log_ != nullptr && log_->getVerbosness() >= 0) log_->setVerbose(2);
      return NEXT_REQUEST;
    default:
      logLine(log_, LOG_ADD, "IMPOSSIBLE RESPONSE TO read() = %d", result);
      return NEXT_REQUEST;
  }
}

int SeisServerState::sendACK(bool makeAck, int k) {
  if (makeAck) {
    outgoing_.make(SelvomaPacket::ACK, ownId_, received_.sourceId, received_.seqNo);
    ackSeq_ = received_.seqNo;
    lastAckedSeq_ = received_.seqNo;
    if (k > 0 && received_.seqNo % k == 0 && send() == FINISH) return FINISH;
  }
  return ackSeq_ % ACK_NEXT_REQUEST_EVERY == 0 ? NEXT_REQUEST : READ;
}

bool SeisServerState::serveKeepAlive() {
  const int64_t now = monoMs();
  if (now - lastKeepAliveMs_ < 1000LL * KEEPALIVE_SECS || lastGoodStationId_ == 0) return true;
  lastKeepAliveMs_ = now;
  return sendKeepAlive();
}

bool SeisServerState::whileReadWaits() {
  if (stopRequested_.load(std::memory_order_acquire)) return false;
  if (!serveKeepAlive()) keepAliveFailed_ = true;
  return !keepAliveFailed_;
}

bool SeisServerState::sendKeepAlive() {
  SelvomaPacket ack;
  ack.make(SelvomaPacket::ACK, ownId_, lastGoodStationId_, lastGoodSeq_);
  ackSeq_ = lastGoodSeq_;
  lastAckedSeq_ = lastGoodSeq_;
  if (rw_.write(&ack)) return true;
  logLine(log_, LOG_ADD, "BAD send rw.send().  FINISH");
  return false;
}

int SeisServerState::send() {
  if (outgoing_.type == SelvomaPacket::REQUEST_FILE) {
    if (outgoing_.payloadLen() == 0) {
      logLine(log_, LOG_ADD, "ZERO LENGTH Request File!");
      return READ;
    }
  }
  if (!rw_.write(&outgoing_)) {
    logLine(log_, LOG_ADD, "BAD send rw.send().  FINISH");
    return FINISH;
  }
  // After a FILE_PART the session reads as after any other frame; a long
  // upload does not trip the loop time-out.
  if (outgoing_.type == SelvomaPacket::FILE_PART) lastRxTic_ = monoMs();
  return READ;
}

int SeisServerState::sendNextRequest() {
  // Firmware blocks go first; while the flash list is busy nothing else is sent.
  if (sendFlashBlock()) return state_;
  state_ = READ;
  const int64_t now = monoMs();
  if (now - loopStartMs_ > 1000LL * SEND_WARMUP_SECS) {
    if (samplingRestartPending_) {
      upload_.addCommand("sampling 1");
      upload_.addCommand("sleep 10");
      samplingRestartPending_ = false;
    }
    updateStationLabel();
    // Setting queries wait only while files for the station are waiting in
    // its upload folder; queued commands do not hold them back.
    if (uploadFilesWaiting() == 0) {
      ssTimer_.setLog(log_);
      std::unique_ptr<SelvomaPacket> packet = ssTimer_.getPacket();
      if (packet) {
        pprintf("\nNEW TIMER PACKET [%s]\n\n", packet->toShortString().c_str());
        upload_.addPacket(std::move(packet));
      }
      // The end of a query cycle: the station's state-of-health record.
      if (ssTimer_.isWriteFileTime()) {
        ssFile_.parse();
        writeHistogramRecord();
      }
    }
    if (!checkForUpload()) {
      std::unique_ptr<SelvomaPacket> request = readOldestRequest();
      if (request) {
        logLine(log_, LOG_ADD, "      REQUEST FILE     [%s]",
                request->textPayload(0, COMMAND_TEXT_MAX).c_str());
        outgoing_ = *request;
        vhSeq_ = SelvomaPacket::incrementSeqNo(vhSeq_);
        outgoing_.seqNo = vhSeq_;
        state_ = SEND;
      } else if (nextPendingFilePart()) {
        state_ = SEND;
      } else {
        // An idle retrieval takes the next due gap at once (at most one a
        // second) rather than at the next periodic step.
        if (dremoFiles_.isIdle()) checkForGapRequest();
        const bool drove = driveRetrieval(now);
        if (!drove && now > nextSettingsFileMs_) {
          // The settings file waits while another file is being fetched;
          // when none is asked for, the stored one reaches the monitor folder.
          if (dremoFiles_.isIdle()) {
            if (doSettingFile_ && !upload_.hasFileParts() &&
                instrumentId() < SETTINGS_FILE_ID_LIMIT) {
              requestSettingsFile();
            } else {
              archive_.sendDownloadToMonitor(SS_FILE_NAME);
            }
            nextSettingsFileMs_ =
                now + 1000LL * (ssTimer_.isActive() ? SETTINGS_FILE_PERIOD_SECS
                                                    : SETTINGS_FILE_PERIOD_QUIET_SECS);
          }
        } else if (!drove) {
          maybeRequestHistogramFile();
        }
      }
    }
  }
  if (state_ != READ) return state_;
  int c = nextRequestCounter_;
  nextRequestCounter_ = nextRequestCounter_ >= NEXT_REQUEST_COUNTER_MAX ? 0 : c + 1;
  return c % NEXT_REQUEST_EVERY == 0 ? NEXT_REQUEST : READ;
}

void SeisServerState::setLag(long seconds) {
  if (monoMs() - loopStartMs_ >= 1000LL * LAG_LEARN_SECS && lag_ != LAG_UNSET) return;
  lag_ = seconds;
  if (lag_ > LAG_LOG_SECS) logLine(log_, LOG_ADD, "setLag=%ld", lag_);
}
