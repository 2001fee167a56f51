#include "protocol/Flash.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/Log.h"
#include "protocol/Upload.h"
#include "util/Crc32.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr size_t FWU_LINE_MAX = 200;  // characters of one text flash line

void putU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void setImageAside(const std::string& image, const std::string& reason, Log* log) {
  const std::string aside = image + UPLOAD_ASIDE_SUFFIX;
  if (rename(image.c_str(), aside.c_str()) != 0) removeFile(image);
  logLine(log, LOG_ADD, "Flash image set aside [%s]: %s", image.c_str(), reason.c_str());
}

}  // namespace

uint32_t FlashPacket::blockCheck(const uint8_t* bytes, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    v ^= bytes[i];
    v = (v >> 8) | (v << 24);
  }
  return v;
}

void FlashPacket::fill(const std::vector<uint8_t>& image, size_t blockSize, uint32_t index) {
  std::vector<uint8_t> payload(FLASH_BLOCK_FIXED + blockSize, 0);
  const size_t from = static_cast<size_t>(index) * blockSize;
  if (from < image.size()) {
    memcpy(payload.data() + FLASH_BLOCK_FIXED, image.data() + from,
           std::min(blockSize, image.size() - from));
  }
  putU32(payload.data(), index);
  putU32(payload.data() + 4, blockCheck(payload.data() + FLASH_BLOCK_FIXED, blockSize));
  make(SelvomaPacket::FLASH, 0, 0, 0, payload.data(), static_cast<int>(payload.size()));
}

Flash::Flash() = default;

Flash::~Flash() = default;

int64_t Flash::nowMs() const { return clock_ ? clock_() : getMillisec(); }

void Flash::setStation(const std::string& station) {
  imagePath_ = sformatBounded(FLASH_IMAGE_PATH_MAX, "%s%s/%s", UPLOAD_DIR.c_str(), station.c_str(),
                              FIRMWARE_NAME);
}

bool Flash::isBusy() const {
  return enabled_ && (hasPackets() || (!imagePath_.empty() && isFile(imagePath_)));
}

bool Flash::makePackets() {
  const long long size = getFileSize(imagePath_);
  if (size < 0) return false;
  if (size < FLASH_IMAGE_MIN || size > FLASH_IMAGE_MAX) {
    setImageAside(
        imagePath_,
        sformat("%lld bytes, not within %lld..%lld", size, FLASH_IMAGE_MIN, FLASH_IMAGE_MAX), log_);
    return false;
  }
  std::vector<uint8_t> image;
  const long long len = readFile(imagePath_, image);
  logLine(log_, LOG_ADD, "Flash makePackets len=%lld", len);
  if (len != size) {
    logLine(log_, LOG_ADD, "Flash cannot read %s len=%lld", imagePath_.c_str(), len);
    setImageAside(imagePath_, "changed while it was read", log_);
    return false;
  }
  clearPackets();
  addCommand("sampling 0");
  for (uint32_t index = 0; static_cast<size_t>(index) * FLASH_BLOCK_SIZE < image.size(); ++index) {
    auto block = std::make_unique<FlashPacket>();
    block->fill(image, FLASH_BLOCK_SIZE, index);
    addPacket(std::move(block));
  }
  for (const char* text : {"flash_check", "sleep 10", "sampling 1", "sleep 5", "reboot"}) {
    addCommand(text);
  }
  markSent(imagePath_);
  sentPath_ = getLatestSent();
  return true;
}

void Flash::restoreUnfinished() {
  if (hasPackets() && !sentPath_.empty() && !isFile(imagePath_) &&
      rename(sentPath_.c_str(), imagePath_.c_str()) == 0) {
    logLine(log_, LOG_ADD, "Flash unfinished: [%s] is flashed again by the next session",
            imagePath_.c_str());
  }
  sentPath_.clear();
  clearPackets();
}

std::unique_ptr<SelvomaPacket> Flash::getNextPacket(uint8_t seqNo) {
  if (packets_.empty() && !imagePath_.empty() && isFile(imagePath_)) makePackets();
  if (packets_.empty()) return nullptr;
  const int64_t now = nowMs();
  if (responded_) {
    logLine(log_, LOG_ADD, "RESPONDED");
  } else if (now - lastSendMs_ < packetIntervalMs_) {
    return nullptr;
  }
  std::unique_ptr<SelvomaPacket> packet = std::move(packets_.front());
  packets_.pop_front();
  if (packets_.empty()) sentPath_.clear();
  packet->seqNo = seqNo;
  ackSeqNo_ = seqNo;
  acked_ = false;
  lastSendMs_ = now;
  responded_ = false;
  return packet;
}

uint32_t Fwu::crc32(const uint8_t* chunk, size_t n) { return CRC32(chunk, n); }

std::string Fwu::hexlify(const uint8_t* bytes, size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += DIGITS[bytes[i] >> 4];
    out += DIGITS[bytes[i] & 0x0f];
  }
  return out;
}

std::string Fwu::line(int index, const uint8_t* chunk, size_t n) {
  return sformatBounded(FWU_LINE_MAX, "8a flash_write %d %d %08x b'%s'\n", index,
                        static_cast<int>(n), crc32(chunk, n), hexlify(chunk, n).c_str());
}

int Fwu::run(const std::string& folder, std::vector<std::string>* outPaths, Log* log) {
  outPaths->clear();
  const std::string image = folder + FIRMWARE_NAME;
  const long long size = getFileSize(image);
  if (size < 0) return 0;
  if (size == 0 || size > FWU_IMAGE_MAX) {
    setImageAside(image, sformat("%lld bytes, not within 1..%lld", size, FWU_IMAGE_MAX), log);
    return 0;
  }
  std::vector<uint8_t> bytes;
  if (readFile(image, bytes) != size) {
    setImageAside(image, "changed while it was read", log);
    return 0;
  }
  const size_t chunks = (bytes.size() + FWU_CHUNK - 1) / FWU_CHUNK;
  const size_t files = (chunks + PKT_MAX_LINES - 1) / PKT_MAX_LINES;
  const unsigned long stamp = static_cast<unsigned long>(time(nullptr));
  size_t index = 0;
  for (size_t file = 0; file < files; ++file) {
    const std::string out = files == 1
                                ? sformat("%sSel.%lul.pkt", folder.c_str(), stamp)
                                : sformat("%sSel.%lul.%03zu.pkt", folder.c_str(), stamp, file);
    // Written under a hidden name the upload folder does not take, then renamed.
    const std::string part = out.substr(0, folder.size()) + "." + out.substr(folder.size());
    FILE* f = fopen(part.c_str(), "w");
    bool ok = f != nullptr;
    for (size_t line = 0; ok && line < PKT_MAX_LINES && index < chunks; ++line, ++index) {
      const size_t at = index * FWU_CHUNK;
      const std::string text = Fwu::line(static_cast<int>(index), bytes.data() + at,
                                         std::min(FWU_CHUNK, bytes.size() - at));
      ok = fputs(text.c_str(), f) >= 0;
    }
    if (f != nullptr && fclose(f) != 0) ok = false;
    if (ok) ok = rename(part.c_str(), out.c_str()) == 0;
    if (!ok) {
      removeFile(part);
      for (const std::string& done : *outPaths) removeFile(done);
      outPaths->clear();
      setImageAside(image, "cannot write " + out, log);
      return 0;
    }
    outPaths->push_back(out);
  }
  removeFile(image);
  return static_cast<int>(chunks);
}
