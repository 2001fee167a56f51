// Firmware flashing: the image "Selvoma.bin" in the station's upload folder
// written into the instrument.
//
// Flash (property "flashenabled" 1) sends the image as FLASH frames of
// FLASH_BLOCK_SIZE bytes, one every packetIntervalMs (property
// "flashinterval") or as soon as the instrument answered the previous one
// ("flash_write"), between "sampling 0" and the closing commands
// "flash_check", "sleep 10", "sampling 1", "sleep 5", "reboot" (sent as
// they are). The session asks it first for every frame and sends nothing
// else while it is busy. An image below FLASH_IMAGE_MIN bytes or above
// FLASH_IMAGE_MAX is logged and set aside ("Selvoma.bin.bad"), so it never
// holds the session.
//
// Fwu (property "flash") is the text flash procedure: the image becomes
// ".pkt" files of "flash_write" COMMAND lines (one per FWU_CHUNK bytes, at
// most PKT_MAX_LINES per file, named so that they are sent in order), which
// the upload folder then sends.
//
// Not shared: a Flash is owned by one session and used by its thread only.
#ifndef VH_PROTOCOL_FLASH_H_
#define VH_PROTOCOL_FLASH_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/PacketList.h"
#include "protocol/SelvomaPacket.h"

class Log;

constexpr size_t FLASH_BLOCK_SIZE = 512;          // image bytes per FLASH frame
constexpr long long FLASH_IMAGE_MIN = 0x20000;    // smaller images are set aside
constexpr long long FLASH_IMAGE_MAX = 0x1000000;  // larger images are set aside
constexpr int FLASH_INTERVAL_MS_DEFAULT = 5000;   // between blocks without an answer
constexpr size_t FLASH_IMAGE_PATH_MAX = 254;      // characters of the image path
constexpr size_t FWU_CHUNK = 64;                  // image bytes per text flash line
constexpr long long FWU_IMAGE_MAX = 0x1000000;    // larger images are set aside

// One FLASH frame: u32 block index, u32 check of the block (the frame check
// word rule over the data alone) and FLASH_BLOCK_SIZE image bytes; past the
// image's end the block is filled with zeros.
class FlashPacket : public SelvomaPacket {
 public:
  ~FlashPacket() override = default;
  // payload = index, check, block index of image (blockSize bytes).
  void fill(const std::vector<uint8_t>& image, size_t blockSize, uint32_t index);
  // The check of a block's data: v = rotate-right(v XOR b, 8) from 0.
  static uint32_t blockCheck(const uint8_t* bytes, size_t n);
};

class Flash : public PacketList {
 public:
  Flash();
  ~Flash() override;

  void setEnabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  void setPacketInterval(int ms) { packetIntervalMs_ = ms; }
  // The image is "Selvoma.bin" in the station's upload folder.
  void setStation(const std::string& station);
  // The instrument answered the last block ("flash_write").
  void setResponded() { responded_ = true; }
  // Enabled, and blocks are queued or the image is there.
  bool isBusy() const;
  // Queues the image's frames and marks the image sent; false when the image
  // is missing, unreadable or of a refused size (then set aside).
  bool makePackets();
  // The next frame due with seqNo, owned by the caller; null when none is
  // due.
  virtual std::unique_ptr<SelvomaPacket> getNextPacket(uint8_t seqNo);
  const std::string& imagePath() const { return imagePath_; }
  // At the end of a session: an image whose blocks are still queued gets its
  // old name back (logged), so the next session flashes it whole. Empties
  // the queue.
  void restoreUnfinished();

  // Replaces the millisecond clock (getMillisec).
  void TEST_setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

 private:
  int64_t nowMs() const;

  std::string imagePath_;
  std::string sentPath_;  // the image's ".sent" name while its frames are queued
  int packetIntervalMs_ = FLASH_INTERVAL_MS_DEFAULT;
  bool responded_ = true;
  bool enabled_ = false;
  std::function<int64_t()> clock_;
};

// The text flash procedure.
class Fwu {
 public:
  // CRC-32 of the bytes of one chunk.
  static uint32_t crc32(const uint8_t* chunk, size_t n);
  // n bytes as 2n lower-case hexadecimal digits.
  static std::string hexlify(const uint8_t* bytes, size_t n);
  // The line of chunk index: "8a flash_write %d %d %08x b'%s'\n".
  static std::string line(int index, const uint8_t* chunk, size_t n);
  // Converts folder + "Selvoma.bin" into "Sel.<time>l.pkt" files of at most
  // PKT_MAX_LINES lines ("Sel.<time>l.NNN.pkt" when more are needed) in the
  // folder, their paths in outPaths, and deletes the image. Returns the
  // number of lines written, 0 on failure: a missing image, or an image of a
  // refused size or an output that cannot be written, which sets the image
  // aside ("Selvoma.bin.bad", logged) and removes partial output.
  static int run(const std::string& folder, std::vector<std::string>* outPaths, Log* log);
};

#endif  // VH_PROTOCOL_FLASH_H_
