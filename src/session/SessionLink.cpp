// Link start of a session: identification, link initialisation, the
// recovery request after a lost frame and the companion watchdog.
#include <unistd.h>

#include "core/Log.h"
#include "io/IO.h"
#include "session/SeisServerState.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char TIDORA_ALIVE_FILE[] = "/tidora/log/tidora.alive";
constexpr unsigned IDENTIFIED_PAUSE_SECS = 1;  // after a good identification

}  // namespace

std::atomic<void (*)(int)> SeisServerState::processStopHook_{nullptr};

void SeisServerState::noteGoodFrame() {
  lastGoodStationId_ = received_.sourceId;
  lastGoodSeq_ = received_.seqNo;
}

int SeisServerState::initIdentify() {
  if (state_ == FINISH) return FINISH;
  bool written = rw_.writeIdentify(0);
  zero();
  if (!written) {
    logLine(log_, LOG_ADD, "Connect send failed.  Calling FINISH");
    return FINISH;
  }
  int n = io_->available();
  if (n <= READ_WAIT_ENOUGH) {
    for (int poll = 0; n >= 0 && n <= READ_WAIT_ENOUGH && poll < IDENTIFY_POLLS; ++poll) {
      if (stopRequested_.load(std::memory_order_acquire)) return FINISH;
      sleepu(IDENTIFY_POLL_US);
      n = io_->available();
    }
    if (n < 0) {
      logLine(log_, LOG_ADD, "BAD INIT_IDENTIFY calling FINISH");
      return FINISH;
    }
  }
  if (n > READ_WAIT_ENOUGH) {
    if (rw_.read(&received_, true) != PacketReaderWriter::READ_PACKET) {
      logLine(log_, LOG_FLUSH, "Connect receive failed.  Calling FINISH");
      return FINISH;
    }
    noteGoodFrame();
    if (received_.type == SelvomaPacket::IDENTIFY || received_.type == SelvomaPacket::IDENT_NL) {
      updateStationLabel();
      logLine(log_, LOG_ADD, "Init_Identify. Connected: %s", io_->getDescription());
      sleep(IDENTIFIED_PAUSE_SECS);
      noReplyCount_ = 0;
      return INIT_LINK;
    }
    // An instrument that is already streaming is accepted without a fresh
    // identification. A data record is stored before it is acknowledged, so
    // that the instrument never drops a record the hub did not take.
    lastErrorMs_ = monoMs();
    logLine(log_, LOG_ADD, "Got different packet %s", received_.getMessageName().c_str());
    if (received_.type == SelvomaPacket::MINISEED) storeMiniseedPacket();
    ackSeq_ = received_.seqNo;
    outgoing_.make(SelvomaPacket::ACK, ownId_, received_.sourceId, received_.seqNo);
    return SEND;
  }
  ++noReplyCount_;
  if (noReplyCount_ >= IDENTIFY_MAX_NO_REPLY) {
    logLine(log_, LOG_ADD, "noreplycounter>=5  Calling FINISH");
    return FINISH;
  }
  sleepu(IDENTIFY_RETRY_US);
  return INIT_IDENTIFY;
}

int SeisServerState::initLink() {
  zero();
  if (!rw_.write(SelvomaPacket::LINK_INIT, received_.sourceId, 0)) {
    logLine(log_, LOG_ADD, "Send LINK_INIT failed.  FINISH");
    return FINISH;
  }
  if (rw_.read(&received_, true) != PacketReaderWriter::READ_PACKET) {
    logLine(log_, LOG_ADD, "Reply to LINK_INIT failed.  Calling FINISH");
    return FINISH;
  }
  lastRxTic_ = monoMs();
  noteGoodFrame();
  state_ = READ;
  switch (received_.type) {
    case SelvomaPacket::LINK_INIT:
    case SelvomaPacket::ACK:
    case SelvomaPacket::IDENTIFY:
    case SelvomaPacket::IDENT_NL:
      return READ;
    default:
      // A data frame or command as the reply is dispatched like any other.
      return PROCESS;
  }
}

void SeisServerState::sendStreamCmd(int seconds) {
  std::string text = sformat("stream %d", seconds);
  if (upload_.containsCommand(text)) {
    logLine(log_, LOG_ADD, "skipped adding: [%s]", text.c_str());
    return;
  }
  upload_.addCommand("sleep 10");
  upload_.addCommand(text);
  logLine(log_, LOG_ADD, "added: [%s]", text.c_str());
}

void SeisServerState::checkTidora() {
  if (MODE != MODE_TIDORA) return;
  std::string path = LUMETRAFILES + TIDORA_ALIVE_FILE;
  long age = static_cast<long>(time(nullptr) - fileModifiedTime(path));
  if (age > TIDORA_ALIVE_MAX_SECS) {
    logLine(log_, LOG_FLUSH, "Tidora [%s] not running (%ld secs). FINISH", path.c_str(), age);
    requestStop();
    void (*stopProcess)(int) = processStopHook_.load();
    if (stopProcess != nullptr) stopProcess(TIDORA_GONE_EXIT_STATUS);
  }
}
