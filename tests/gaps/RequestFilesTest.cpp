// Client request files: which link a file is meant for, when it is read or
// removed, refused files set aside, and the relay file another link reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "gaps/RequestFiles.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"

namespace {

constexpr uint32_t ID = 0x0123abcd;

TEST(RequestFilesTest, NamesMeantForALink) {
  struct Case {
    const char* name;
    const char* station;
    bool meant;
  } cases[] = {
      {"job_0123abcd.txt", "AB", true},    {"job_0123abcd_x", "AB", true},
      {"job_deadbeef.txt", "AB", false},   {"job_00000000.txt", "AB", true},
      {"job_0.txt", "AB", true},           {"job_0_now", "AB", true},
      {"AB.00000000", "AB", true},         {"XAB.00000000", "AB", false},
      {"job_AB.txt", "AB", true},          {"job-AB.txt", "AB", true},
      {"ABC.00000000", "AB", false},       {"x.log", "AB", false},  // too short
      {"req_xxxxxxxxxxxxxxx.1", "", true}, {"AB.00000000", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RequestFiles::isMeantFor(c.name, ID, c.station), c.meant)
        << c.name << " for " << c.station;
  }
}

class RequestFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files.init(dir.path(), &log);
    folder = files.requestFolder();
  }
  // A file written seconds ago.
  void drop(const std::string& name, const std::string& text, long secondsAgo) {
    writeText(folder + name, text);
    touchFile(folder + name, secondsAgo);
  }
  TempDir dir;
  CaptureLog log;
  RequestFiles files;
  std::string folder;
};

TEST_F(RequestFolderTest, ReadsSettledFilesForThisLinkAndRemovesStaleOnes) {
  drop("job_0123abcd.txt", "# comment\n8A sampling 1\r\n8A\nx\n86 /data/a.ms\n", 5);
  drop("job_00000000_late.txt", "8A later\n", 0);                 // still being written
  drop("job_deadbeef.txt", "8A other\n", 10);                     // another link's, fresh
  drop("job_feedbeef.txt", "8A gone\n", REQUEST_STALE_SECS + 5);  // nobody's, stale
  drop("AB.x.log", "", 5);
  std::deque<std::unique_ptr<SelvomaPacket>> packets;
  EXPECT_EQ(files.readRequests(ID, "AB", &packets, 64), 3);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0]->type, SelvomaPacket::COMMAND);
  EXPECT_EQ(packets[0]->textPayload(0, 100), "sampling 1");
  EXPECT_EQ(packets[1]->payloadLen(), 0);
  EXPECT_EQ(packets[2]->type, SelvomaPacket::REQUEST_FILE);
  EXPECT_FALSE(pathExists(folder + "job_0123abcd.txt"));
  EXPECT_TRUE(pathExists(folder + "job_00000000_late.txt"));
  EXPECT_TRUE(pathExists(folder + "job_deadbeef.txt"));
  EXPECT_FALSE(pathExists(folder + "job_feedbeef.txt"));
  EXPECT_TRUE(files.getLogRequested());
  EXPECT_FALSE(files.getLogRequested());
  EXPECT_FALSE(pathExists(folder + "AB.x.log"));
}

// An empty folder is not listed again until it changes; a file dropped in
// it is read at the next look.
TEST_F(RequestFolderTest, EmptyFolderIsListedAgainOnceAFileArrives) {
  const time_t old = time(nullptr) - 60;
  struct timespec times[2] = {{old, 0}, {old, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
  std::deque<std::unique_ptr<SelvomaPacket>> packets;
  EXPECT_EQ(files.readRequests(ID, "AB", &packets, 64), 0);
  EXPECT_EQ(files.readRequests(ID, "AB", &packets, 64), 0);
  drop("job_0123abcd.txt", "8A sampling 1\n", 5);
  EXPECT_EQ(files.readRequests(ID, "AB", &packets, 64), 1);
}

TEST_F(RequestFolderTest, HostileFilesAreSetAsideAndFullQueuesLeaveFilesWaiting) {
  drop("bin_0123abcd.txt", std::string("8A x\n\x00\xff", 7), 5);
  drop("big_0123abcd.txt", std::string(REQUEST_FILE_MAX_BYTES + 1, 'a'), 5);
  std::string many;
  for (size_t i = 0; i <= REQUEST_FILE_MAX_LINES; ++i) many += "8A x\n";
  drop("many_0123abcd.txt", many, 5);
  drop("one_0123abcd.txt", "8A a\n8A b\n", 5);
  drop("two_0123abcd.txt", "8A c\n", 5);
  std::vector<SelRequest> requests;
  EXPECT_EQ(files.readRequests(folder, ID, "AB", &requests, 2), 2);
  EXPECT_TRUE(pathExists(folder + "bin_0123abcd.txt.bad"));
  EXPECT_TRUE(pathExists(folder + "big_0123abcd.txt.bad"));
  EXPECT_TRUE(pathExists(folder + "many_0123abcd.txt.bad"));
  EXPECT_TRUE(log.has("Request file set aside [" + folder + "bin_0123abcd.txt]: not a text file"));
  // The queue is full: the other file waits for the next reading.
  EXPECT_EQ(requests.size(), 2u);
  requests.clear();
  EXPECT_EQ(files.readRequests(folder, ID, "AB", &requests, 2), 1);
  EXPECT_FALSE(pathExists(folder + "one_0123abcd.txt"));
  EXPECT_FALSE(pathExists(folder + "two_0123abcd.txt"));
}

TEST_F(RequestFolderTest, RelayFileIsReadByTheNamedSiteOnly) {
  ASSERT_TRUE(files.makeRequestFileFile("ABCD", "data/2023/file.ms", 0));
  EXPECT_EQ(readText(folder + "ABCD.00000000"), "86-/data/2023/file.ms\n");
  touchFile(folder + "ABCD.00000000", 5);
  std::vector<SelRequest> requests;
  EXPECT_EQ(files.readRequests(folder, 0x01000001, "XABCD", &requests, 64), 0);
  EXPECT_EQ(files.readRequests(folder, 0x01000002, "ABCD", &requests, 64), 1);
  EXPECT_EQ(requests[0].getValue(), "/data/2023/file.ms");
  // A site name from outside stays one element of the request folder.
  ASSERT_TRUE(files.makeRequestFileFile("../../x", "/a", 0));
  EXPECT_TRUE(pathExists(folder + "_._.._x.00000000"));
  EXPECT_FALSE(pathExists(dir.path() + "x.00000000"));
  EXPECT_FALSE(files.makeRequestFileFile("AB", std::string("/a\x01", 3), 0));
}

}  // namespace
