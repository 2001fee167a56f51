#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "protocol/PacketList.h"
#include "protocol/Upload.h"
#include "support/PacketText.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"

TEST(PacketListTest, SetMaxWaitCapsTheStepAt200) {
  PacketList list;
  for (int wait : {18, 199, 200, 500}) {
    list.setMaxWait(wait);
    EXPECT_EQ(list.getMaxWaitMs(), wait);
    EXPECT_EQ(list.getWaitStepMs(), std::min(wait, 200));
  }
}

// A frame taken with number `sent` is answered by an ACK of `sent` or the
// next number (wrapping at 255), by no other.
TEST(PacketListTest, AckOfSentNumberOrNextOneAnswersTheFrame) {
  const struct {
    uint8_t sent, ack;
    bool answered;
  } cases[] = {{7, 9, false}, {7, 6, false}, {7, 8, true}, {7, 7, true}, {255, 0, true}};
  for (const auto& c : cases) {
    Upload list;
    list.TEST_setClock([] { return int64_t{1000000}; });
    list.addCommand("x");
    ASSERT_TRUE(list.getNextPacket("st", c.sent));
    ASSERT_FALSE(list.isAcked());
    list.setAckSeqNo(c.ack);
    EXPECT_EQ(list.isAcked(), c.answered) << int(c.sent) << " " << int(c.ack);
  }
}

TEST(PacketListTest, ContainsCommandComparesFirst39PrintableCharacters) {
  PacketList list;
  list.addCommand("sleep 10");
  list.addCommand("stream 4");
  EXPECT_TRUE(list.containsCommand("stream 4"));
  EXPECT_FALSE(list.containsCommand("stream 5"));
  EXPECT_FALSE(list.containsCommand("stream"));
  std::string longText(50, 'a');
  list.addCommand(longText);
  EXPECT_TRUE(list.containsCommand(std::string(39, 'a')));
  EXPECT_FALSE(list.containsCommand(longText));
  list.addCommand(std::string("a\x01") + "b");
  EXPECT_TRUE(list.containsCommand("a~b"));
  EXPECT_EQ(list.numPackets(), 4);
  list.clearPackets();
  EXPECT_FALSE(list.containsCommand("stream 4"));
}

class PacketListFilesTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedBaseDir base{dir.path()};
};

TEST_F(PacketListFilesTest, MarkSentNumbersCopiesUpToNineThenGivesUp) {
  PacketList list;
  std::string path = dir.file("a.pkt");
  writeText(path, "8A x\n");
  list.markSent(path);
  EXPECT_EQ(list.getLatestSent(), path + ".sent.00");
  EXPECT_FALSE(pathExists(path));
  EXPECT_EQ(readText(path + ".sent.00"), "8A x\n");

  writeText(path, "8A y\n");
  list.markSent(path);
  EXPECT_EQ(list.getLatestSent(), path + ".sent.01");
  EXPECT_EQ(readText(path + ".sent.01"), "8A y\n");

  // A gap in the numbering: the next copy follows the highest one.
  writeText(path + ".sent.05", "old");
  writeText(path, "z");
  list.markSent(path);
  EXPECT_EQ(list.getLatestSent(), path + ".sent.06");

  writeText(path + ".sent.09", "last");
  writeText(path, "w");
  list.markSent(path);
  EXPECT_FALSE(pathExists(path));               // given up: deleted
  EXPECT_FALSE(pathExists(path + ".sent.09"));  // and copy 09 removed
  EXPECT_TRUE(pathExists(path + ".sent.06"));
}

TEST_F(PacketListFilesTest, UploadDirIsUnderUploadFolderAndMadeWithMode0777) {
  PacketList list;
  std::string folder = list.makeUploadDir("ABC.01000001");
  EXPECT_EQ(folder, dir.path() + "upload/ABC.01000001/");
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_EQ(list.getUploadDir("ABC.01000001"), folder);
}

TEST_F(PacketListFilesTest, UploadDirIsTouchedOnThirdCallThenEvery1002) {
  PacketList list;
  std::string folder = list.makeUploadDir("S.01000001");
  ASSERT_TRUE(touchFileTime(folder, 1000));
  list.getUploadDir("S.01000001");
  list.getUploadDir("S.01000001");
  EXPECT_EQ(fileModifiedTime(folder), 1000);
  list.getUploadDir("S.01000001");
  EXPECT_GT(fileModifiedTime(folder), 1000);
  ASSERT_TRUE(touchFileTime(folder, 1000));
  for (int i = 0; i < 1001; ++i) list.getUploadDir("S.01000001");
  EXPECT_EQ(fileModifiedTime(folder), 1000);
  list.getUploadDir("S.01000001");
  EXPECT_GT(fileModifiedTime(folder), 1000);
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload.TEST_setClock([this] { return nowMs; });
  }
  int64_t nowMs = 1000000;
  Upload upload;
};

TEST_F(UploadTest, WaitsForAnswerOrCurWaitBeforeNextFrame) {
  upload.addCommand("a");
  upload.addCommand("b");
  upload.addCommand("c");
  auto first = upload.getNextPacket("st", 4);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->seqNo, 4);
  EXPECT_EQ(payloadText(*first), "a");
  nowMs += 250;  // past the step, not past the command wait of 300, not acked
  EXPECT_FALSE(upload.getNextPacket("st", 5));
  upload.setAckSeqNo(5);
  auto second = upload.getNextPacket("st", 5);
  ASSERT_TRUE(second);
  EXPECT_EQ(payloadText(*second), "b");
  nowMs += 301;  // an unanswered frame is given up after the command wait
  EXPECT_TRUE(upload.getNextPacket("st", 6));
}

TEST_F(UploadTest, SleepIsALocalPauseNeverSent) {
  upload.addCommand("sleep 10");
  upload.addCommand("stream 4");
  EXPECT_FALSE(upload.getNextPacket("st", 0));  // the sleep is consumed
  EXPECT_EQ(upload.numPackets(), 1);
  nowMs += 900;
  EXPECT_FALSE(upload.getNextPacket("st", 0));
  nowMs += 400;  // about a second after the sleep plus the step
  auto p = upload.getNextPacket("st", 0);
  ASSERT_TRUE(p);
  EXPECT_EQ(payloadText(*p), "stream 4");
}

TEST_F(UploadTest, FinishOffLeavesEndMarkSamplingAndSleep) {
  auto part = std::make_unique<SelvomaPacket>();
  const uint8_t bytes[] = {7, 0, 'x', 'y'};
  part->make(SelvomaPacket::FILE_PART, 0, 0, 0, bytes, 4);
  upload.addCommand("x");
  upload.addPacket(std::move(part));
  upload.finishOff();
  EXPECT_FALSE(upload.isInProgress());
  ASSERT_EQ(upload.numPackets(), 3);
  auto end = upload.nextPacketType(SelvomaPacket::FILE_PART);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->payloadLen(), 2);
  EXPECT_EQ(end->payload()[0], 7);
  EXPECT_TRUE(upload.containsCommand("sampling 1"));
  EXPECT_TRUE(upload.containsCommand("sleep"));
}
