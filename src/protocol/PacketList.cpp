#include "protocol/PacketList.h"

#include <sys/stat.h>

#include <cstdio>

#include "util/Console.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

std::string sentName(const std::string& path, int n) {
  return sformatBounded(LATEST_SENT_MAX, "%s.sent.%02d", path.c_str(), n);
}

}  // namespace

PacketList::PacketList() = default;

PacketList::~PacketList() = default;

void PacketList::addPacket(std::unique_ptr<SelvomaPacket> packet) {
  if (packet) packets_.push_back(std::move(packet));
}

void PacketList::addCommand(const std::string& text) {
  auto packet = std::make_unique<SelvomaPacket>();
  packet->make(SelvomaPacket::COMMAND, 0, 0, 0, text);
  packets_.push_back(std::move(packet));
}

bool PacketList::containsCommand(const std::string& text) const {
  for (const auto& packet : packets_) {
    if (packet->type != SelvomaPacket::COMMAND) continue;
    if (packet->textPayload(0, COMMAND_MATCH_CHARS) == text) return true;
  }
  return false;
}

void PacketList::setAckSeqNo(uint8_t seqNo) {
  if (seqNo == ackSeqNo_ || seqNo == SelvomaPacket::incrementSeqNo(ackSeqNo_)) acked_ = true;
}

void PacketList::setMaxWait(int ms) {
  maxWaitMs_ = ms;
  waitStepMs_ = ms >= PACKETLIST_WAIT_STEP_MS ? PACKETLIST_WAIT_STEP_MS : ms;
}

std::string PacketList::getUploadDir(const std::string& station) {
  uploadDir_ = sformatBounded(UPLOAD_DIR_PATH_MAX, "%s%s/", UPLOAD_DIR.c_str(), station.c_str());
  if (touchCounter_ > UPLOAD_DIR_TOUCH_CALLS) {
    touchFile(uploadDir_, 0);
    touchCounter_ = 0;
  } else {
    ++touchCounter_;
  }
  return uploadDir_;
}

std::string PacketList::makeUploadDir(const std::string& station) {
  uploadDir_ = sformatBounded(UPLOAD_DIR_PATH_MAX, "%s%s/", UPLOAD_DIR.c_str(), station.c_str());
  mkdirs(uploadDir_, true);
  chmod(uploadDir_.c_str(), MODE_SHARED_FOLDER);
  touchFile(uploadDir_, 0);
  return uploadDir_;
}

void PacketList::markSent(const std::string& path) {
  int highest = -1;
  for (int n = 0; n < MAX_SEND_RETRIES; ++n) {
    if (isFile(sentName(path, n))) highest = n;
  }
  const std::string lastCopy = sentName(path, MAX_SEND_RETRIES - 1);
  if (highest == MAX_SEND_RETRIES - 1) {
    removeFile(path);
    pprintf("MAX_SEND_RETRIES reached.  Giving up.  %s\n", path.c_str());
  } else {
    latestSent_ = sentName(path, highest + 1);
    if (rename(path.c_str(), latestSent_.c_str()) != 0) removeFile(path);
  }
  removeFile(lastCopy);
}
