#include "protocol/Upload.h"

#include "core/Log.h"
#include "util/TimeUtil.h"

Upload::Upload() = default;

Upload::~Upload() = default;

int64_t Upload::nowMs() const { return clock_ ? clock_() : getMillisec(); }

std::unique_ptr<SelvomaPacket> Upload::getNextPacket(const std::string& station, uint8_t seqNo) {
  const int64_t now = nowMs();
  const int64_t elapsed = now - lastSendMs_;
  if (elapsed > curWaitMs_) {
    acked_ = true;
  } else if (!acked_) {
    return nullptr;
  }
  if (elapsed < waitStepMs_) return nullptr;
  if (packets_.empty()) {
    lastSendMs_ = now;
    return nullptr;
  }
  curWaitMs_ = maxWaitMs_;
  const SelvomaPacket& head = *packets_.front();
  bool holdReboot = false;
  if (head.type == SelvomaPacket::COMMAND) {
    const std::string text = head.textPayload(0, UPLOAD_COMMAND_PEEK_CHARS);
    if (text.find("sleep ") != std::string::npos) {
      lastSendMs_ = now + UPLOAD_SLEEP_MS;
      if (log_ != nullptr) log_->add("Upload Sleep");
      packets_.pop_front();
      return nullptr;
    }
    if (text.find("sampling 0") != std::string::npos || text.find("del") != std::string::npos) {
      std::unique_ptr<SelvomaPacket> packet = std::move(packets_.front());
      packets_.pop_front();
      return packet;
    }
    curWaitMs_ = UPLOAD_COMMAND_WAIT_MS;
    holdReboot = text.find("reboot") != std::string::npos;
  }
  std::unique_ptr<SelvomaPacket> packet = nextPacketType(SelvomaPacket::START_SEND_FILE);
  if (!packet) packet = nextPacketType(SelvomaPacket::FILE_PART);
  if (!packet) {
    if (holdReboot && elapsed - UPLOAD_REBOOT_HOLD_MS < waitStepMs_) return nullptr;
    packet = std::move(packets_.front());
    packets_.pop_front();
  }
  packet->seqNo = seqNo;
  ackSeqNo_ = seqNo;
  acked_ = false;
  lastSendMs_ = now;
  return packet;
}

std::unique_ptr<SelvomaPacket> Upload::nextPacketType(uint8_t type) {
  for (auto it = packets_.begin(); it != packets_.end(); ++it) {
    if ((*it)->type != type) continue;
    std::unique_ptr<SelvomaPacket> packet = std::move(*it);
    packets_.erase(it);
    return packet;
  }
  return nullptr;
}

bool Upload::hasFileParts() const {
  for (const auto& packet : packets_) {
    if (packet->type == SelvomaPacket::FILE_PART) return true;
  }
  return false;
}

void Upload::finishOff() {
  inProgress_ = false;
  if (packets_.size() <= 1) return;
  std::unique_ptr<SelvomaPacket> endMark = std::move(packets_.back());
  FilePart part;
  uint16_t number = endMark->getFilePart(&part) ? part.partNumber : 0;
  uint8_t index[FILE_PART_INDEX_LENGTH] = {static_cast<uint8_t>(number & 0xff),
                                           static_cast<uint8_t>(number >> 8)};
  endMark->make(SelvomaPacket::FILE_PART, endMark->sourceId, endMark->destId, endMark->seqNo, index,
                FILE_PART_INDEX_LENGTH);
  packets_.clear();
  packets_.push_back(std::move(endMark));
  addCommand("sampling 1");
  addCommand("sleep");
}
