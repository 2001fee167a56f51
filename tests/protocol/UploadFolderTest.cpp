// The upload folder and firmware flashing: the ".pkt" syntax, files cut into
// parts with their CRC-32, the folder's naming rules, refused files set aside,
// an unfinished upload given back, the block flash list and text flash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/Flash.h"
#include "protocol/Upload.h"
#include "support/CaptureLog.h"
#include "support/PacketText.h"
#include "support/TestSupport.h"
#include "util/Crc32.h"
#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

constexpr char STATION[] = "SIM.01000001";

std::string hexBytes(const SelvomaPacket& p) {
  std::string out;
  for (int i = 0; i < p.payloadLen(); ++i) out += sformat("%02x", p.payload()[i]);
  return out;
}

TEST(PktSyntaxTest, LinesBecomeFrames) {
  struct Case {
    const char* line;
    uint8_t type;
    bool local;
    std::string payload;  // text, or hex bytes when hex is set
    bool hex;
  } cases[] = {
      {"8A sampling 1  ", SelvomaPacket::COMMAND, false, "sampling 1", false},
      {"8A ?gain", SelvomaPacket::COMMAND, false, "? \"ain\"", false},
      {"8A gain=3", SelvomaPacket::COMMAND, false, "\"gain\"=3", false},
      {"8A ab", SelvomaPacket::COMMAND, false, "ab", false},
      {"8aLtrigger 2", SelvomaPacket::COMMAND, true, "trigger 2", false},
      {"FB-", SelvomaPacket::IDENTIFY, true, "", false},
      {"87 [0001]\"abc\"", SelvomaPacket::FILE_PART, false, "0100616263", true},
      {"87 [01] x [12345678]", SelvomaPacket::FILE_PART, false, "0178563412", true},
      {"87 [123]", SelvomaPacket::FILE_PART, false, "[123]", false},  // bad length: body as text
      {"86 /data/x.ms", SelvomaPacket::REQUEST_FILE, false, "/data/x.ms", false},
      {"reboot", SelvomaPacket::COMMAND, false, "reboot", false},  // not a type: a COMMAND
      {"90 x", SelvomaPacket::COMMAND, false, "90 x", false},      // no such type
  };
  for (const Case& c : cases) {
    std::unique_ptr<SelvomaPacket> p = Upload::parsePkt(c.line);
    ASSERT_TRUE(p) << c.line;
    EXPECT_EQ(p->type, c.type) << c.line;
    EXPECT_EQ(p->local, c.local) << c.line;
    EXPECT_EQ(c.hex ? hexBytes(*p) : payloadText(*p), c.payload) << c.line;
  }
  EXPECT_FALSE(Upload::parsePkt("8"));
  EXPECT_FALSE(Upload::parsePkt(""));
  // The longest body stays inside one link frame.
  std::unique_ptr<SelvomaPacket> longest = Upload::parsePkt("8A ?" + std::string(2000, 'k'));
  ASSERT_TRUE(longest);
  EXPECT_LE(longest->payloadLen(), static_cast<int>(LINK_PAYLOAD_MAX));
}

TEST(PktSyntaxTest, BinaryLongLinesAndTooManyLinesAreRefusedWhole) {
  Upload upload;
  std::string error;
  EXPECT_TRUE(upload.addPktString("8A a\r\n\n8A b\n", &error));
  EXPECT_EQ(upload.numPackets(), 2);
  upload.clearPackets();
  EXPECT_FALSE(upload.addPktString(std::string("8A a\n8A \x01\x02\n", 11), &error));
  EXPECT_EQ(error, "not a text file");
  EXPECT_FALSE(upload.addPktString("8A " + std::string(PKT_LINE_MAX, 'x'), &error));
  std::string many;
  for (size_t i = 0; i <= PKT_MAX_LINES; ++i) many += "8A x\n";
  EXPECT_FALSE(upload.addPktString(many, &error));
  EXPECT_EQ(upload.numPackets(), 0);
}

class UploadFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = upload.makeUploadDir(STATION);
    upload.setLog(&log);
    upload.TEST_setClock([this] { return nowMs; });
  }
  // Takes every frame the pacing lets out, answering each at once.
  std::vector<std::unique_ptr<SelvomaPacket>> drain() {
    std::vector<std::unique_ptr<SelvomaPacket>> out;
    for (int turn = 0; turn < 100000; ++turn) {
      nowMs += 250;
      std::unique_ptr<SelvomaPacket> p = upload.getNextPacket(STATION, 0);
      if (!p) {
        if (!upload.hasPackets(STATION)) break;
        continue;
      }
      upload.receivedCommand();
      out.push_back(std::move(p));
    }
    return out;
  }
  TempDir dir;
  ScopedBaseDir base{dir.path()};
  CaptureLog log;
  Upload upload;
  std::string folder;
  int64_t nowMs = 1000000;
};

TEST_F(UploadFolderTest, FileGoesAsStartPartsOf510AndEndMarkWithCrc) {
  std::string content;
  for (int i = 0; i < 1021; ++i) content += static_cast<char>(i * 7);
  writeText(folder + "data.bin", content);
  std::vector<std::unique_ptr<SelvomaPacket>> frames = drain();
  ASSERT_EQ(frames.size(), 5u);
  const SelvomaPacket& start = *frames[0];
  ASSERT_EQ(start.type, SelvomaPacket::START_SEND_FILE);
  EXPECT_EQ(start.textStartSendFilePayload(),
            sformat("/data.bin  size=1021 crc=%08x",
                    CRC32(reinterpret_cast<const uint8_t*>(content.data()), content.size())));
  const int sizes[] = {510, 510, 1, 0};
  for (int i = 1; i <= 4; ++i) {
    FilePart part;
    ASSERT_TRUE(frames[i]->getFilePart(&part));
    EXPECT_EQ(part.partNumber, i);
    EXPECT_EQ(static_cast<int>(part.data.size()), sizes[i - 1]);
  }
  EXPECT_FALSE(pathExists(folder + "data.bin"));
  EXPECT_EQ(readText(folder + "data.bin.sent.00"), content);
  // The standard check value of the CRC.
  EXPECT_EQ(CRC32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST_F(UploadFolderTest, PktFilesFirstInNameOrderSentCopiesAndSetAsideSkipped) {
  writeText(folder + "c.txt", "x");
  writeText(folder + "b.pkt", "8A second\n");
  writeText(folder + "a.pkt", "8A first\n");
  writeText(folder + "0.pkt.sent.00", "8A old\n");
  writeText(folder + "1.pkt.bad", "8A refused\n");
  std::vector<std::string> sent;
  for (const auto& p : drain()) sent.push_back(payloadText(*p));
  // c.txt comes after the .pkt files, as a file upload.
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[0], "first");
  EXPECT_EQ(sent[1], "second");
  EXPECT_TRUE(pathExists(folder + "c.txt.sent.00"));
  EXPECT_TRUE(pathExists(folder + "a.pkt.sent.00"));
  EXPECT_TRUE(pathExists(folder + "1.pkt.bad"));
  EXPECT_TRUE(pathExists(folder + "0.pkt.sent.00"));
}

TEST_F(UploadFolderTest, RefusedFilesAreSetAsideAndTheNextOneIsSent) {
  writeText(folder + "a.pkt", std::string("8A x\n\x00\x01\x02", 8));
  writeText(folder + "b.pkt", "8A fine\n");
  writeText(folder + "c.pkt", "");
  std::vector<std::unique_ptr<SelvomaPacket>> frames = drain();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(payloadText(*frames[0]), "fine");
  EXPECT_TRUE(pathExists(folder + "a.pkt.bad"));
  EXPECT_TRUE(pathExists(folder + "c.pkt.bad"));
  EXPECT_TRUE(log.has("Upload set aside [" + folder + "a.pkt]: not a text file"));
}

TEST_F(UploadFolderTest, UnfinishedFileGetsItsNameBackFinishedOneDoesNot) {
  writeText(folder + "big.dat", std::string(3000, 'a'));
  ASSERT_TRUE(upload.hasPackets(STATION));
  EXPECT_TRUE(pathExists(folder + "big.dat.sent.00"));
  nowMs += 1000;
  ASSERT_TRUE(upload.getNextPacket(STATION, 1));
  upload.restoreUnfinished();
  EXPECT_TRUE(pathExists(folder + "big.dat"));
  EXPECT_FALSE(pathExists(folder + "big.dat.sent.00"));
  EXPECT_FALSE(upload.hasPackets());

  drain();
  EXPECT_TRUE(pathExists(folder + "big.dat.sent.00"));
  upload.restoreUnfinished();
  EXPECT_FALSE(pathExists(folder + "big.dat"));
}

TEST_F(UploadFolderTest, FirmwareIsRenamedAndWrappedInCommands) {
  writeText(folder + "Selvoma_v2.bin", std::string(600, 'f'));
  std::vector<std::string> kinds;
  for (const auto& p : drain()) {
    kinds.push_back(p->type == SelvomaPacket::COMMAND ? payloadText(*p) : p->getMessageName());
  }
  // The two "sleep" commands are local pauses.
  std::vector<std::string> want = {"sampling 0",
                                   "del /Selvoma.bin",
                                   SelvomaPacket::messageName(SelvomaPacket::START_SEND_FILE),
                                   SelvomaPacket::messageName(SelvomaPacket::FILE_PART),
                                   SelvomaPacket::messageName(SelvomaPacket::FILE_PART),
                                   SelvomaPacket::messageName(SelvomaPacket::FILE_PART)};
  EXPECT_EQ(kinds, want);
  EXPECT_EQ(upload.currentName(), "/Selvoma.bin");
  EXPECT_TRUE(pathExists(folder + "Selvoma.bin.sent.00"));
}

class FlashTest : public UploadFolderTest {};

TEST_F(FlashTest, ImageOfOneTwentyEightKiBGives256BlocksBetweenCommands) {
  std::string image(static_cast<size_t>(FLASH_IMAGE_MIN), '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i / 512 + i);
  writeText(folder + FIRMWARE_NAME, image);
  Flash flash;
  flash.setEnabled(true);
  flash.setStation(STATION);
  flash.TEST_setClock([this] { return nowMs; });
  EXPECT_TRUE(flash.isBusy());
  ASSERT_TRUE(flash.makePackets());
  ASSERT_EQ(flash.numPackets(), 1 + 256 + 5);
  EXPECT_TRUE(pathExists(folder + "Selvoma.bin.sent.00"));

  std::vector<std::unique_ptr<SelvomaPacket>> frames;
  frames.push_back(flash.getNextPacket(0));  // "sampling 0": the first goes at once
  EXPECT_FALSE(flash.getNextPacket(1));
  nowMs += FLASH_INTERVAL_MS_DEFAULT - 1;
  EXPECT_FALSE(flash.getNextPacket(1));
  nowMs += 1;
  frames.push_back(flash.getNextPacket(1));  // the interval passed without an answer
  for (uint8_t seq = 2; flash.hasPackets(); ++seq) {
    flash.setResponded();  // each answer lets the next go at once
    frames.push_back(flash.getNextPacket(seq));
  }
  ASSERT_EQ(frames.size(), 262u);
  EXPECT_EQ(payloadText(*frames[0]), "sampling 0");
  const SelvomaPacket& block3 = *frames[4];
  ASSERT_EQ(block3.type, SelvomaPacket::FLASH);
  ASSERT_EQ(block3.payloadLen(), static_cast<int>(FLASH_BLOCK_FIXED + FLASH_BLOCK_SIZE));
  EXPECT_EQ(block3.payload()[0], 3);
  const uint8_t* data = block3.payload() + FLASH_BLOCK_FIXED;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), FLASH_BLOCK_SIZE),
            image.substr(1536, 512));
  uint32_t check = 0;
  for (int i = 0; i < 4; ++i) check |= uint32_t{block3.payload()[4 + i]} << (8 * i);
  EXPECT_EQ(check, FlashPacket::blockCheck(data, FLASH_BLOCK_SIZE));
  std::vector<std::string> closing;
  for (size_t i = 257; i < frames.size(); ++i) closing.push_back(payloadText(*frames[i]));
  EXPECT_EQ(closing, (std::vector<std::string>{"flash_check", "sleep 10", "sampling 1", "sleep 5",
                                               "reboot"}));
  EXPECT_FALSE(flash.isBusy());
}

TEST_F(FlashTest, SmallImageIsSetAsideInsteadOfHoldingTheListBusy) {
  writeText(folder + FIRMWARE_NAME, std::string(1000, 'x'));
  Flash flash;
  flash.setLog(&log);
  flash.setEnabled(true);
  flash.setStation(STATION);
  EXPECT_TRUE(flash.isBusy());
  EXPECT_FALSE(flash.getNextPacket(0));
  EXPECT_FALSE(flash.isBusy());
  EXPECT_TRUE(pathExists(folder + "Selvoma.bin.bad"));
  // The upload folder does not pick the set-aside image up either.
  std::string path;
  EXPECT_FALSE(upload.getFilePath(STATION, &path)) << path;
}

TEST_F(FlashTest, TextFlashLinesSplitOverFilesOfAtMost1000Lines) {
  const std::string image(100, 'z');
  writeText(folder + FIRMWARE_NAME, image);
  std::vector<std::string> out;
  EXPECT_EQ(Fwu::run(folder, &out, &log), 2);
  ASSERT_EQ(out.size(), 1u);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
  EXPECT_EQ(readText(out[0]), Fwu::line(0, bytes, 64) + Fwu::line(1, bytes, 36));
  EXPECT_EQ(Fwu::line(1, bytes, 2), sformat("8a flash_write 1 2 %08x b'7a7a'\n", CRC32(bytes, 2)));
  EXPECT_FALSE(pathExists(folder + FIRMWARE_NAME));

  writeText(folder + FIRMWARE_NAME, std::string(FWU_CHUNK * PKT_MAX_LINES + 1, 'y'));
  EXPECT_EQ(Fwu::run(folder, &out, &log), static_cast<int>(PKT_MAX_LINES + 1));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_LT(out[0], out[1]);  // sent in this order
  Upload check;
  std::string error;
  EXPECT_TRUE(check.addPktString(readText(out[0]), &error)) << error;
  EXPECT_EQ(check.numPackets(), static_cast<int>(PKT_MAX_LINES));

  // Output that cannot be written keeps the image, set aside (a read-only
  // folder stops no one but root).
  if (getuid() == 0) return;
  const std::string readOnly = folder + "ro/";
  mkdirs(readOnly, true);
  writeText(readOnly + FIRMWARE_NAME, image);
  chmod(readOnly.c_str(), 0555);
  EXPECT_EQ(Fwu::run(readOnly, &out, &log), 0);
  chmod(readOnly.c_str(), 0755);
  EXPECT_TRUE(pathExists(readOnly + "Selvoma.bin.bad"));
}

}  // namespace
