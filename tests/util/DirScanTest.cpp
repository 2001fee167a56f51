#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "util/DirScan.h"
#include "util/FileUtil.h"

namespace {
constexpr long DAY = 86400;

// Sets access and modification time separately.
void setTimes(const std::string& path, time_t atime, time_t mtime) {
  struct timespec ts[2];
  ts[0].tv_sec = atime;
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = mtime;
  ts[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class DirScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    ASSERT_EQ(mkdirs(root_ + "sub/deeper/", true), 0);
    writeText(root_ + "x.ms", "x");
    writeText(root_ + "y.txt", "y");
    writeText(root_ + "sub/z.ms", "z");
    writeText(root_ + "sub/deeper/w.ms", "w");
    writeText(root_ + ".hidden.ms", "h");
  }
  TempDir tmp_;
  std::string root_;  // ends in "/"
};
}  // namespace

// Folder links are not followed, so a loop is walked once.
TEST_F(DirScanTest, GetFilesFromDirRecursesButCountsOnlyTopFolder) {
  ASSERT_EQ(symlink(root_.c_str(), (root_ + "sub/loop").c_str()), 0);
  std::vector<std::string> list;
  EXPECT_EQ(getFilesFromDir(root_, list, true, ".ms", 0, true), 1);
  EXPECT_EQ(sorted(list), sorted({root_ + "x.ms", root_ + "sub/z.ms", root_ + "sub/deeper/w.ms"}));
  list.clear();  // a folder without a final "/" gains one
  EXPECT_EQ(getFilesFromDir(root_.substr(0, root_.size() - 1), list, true, ".txt", 0, true), 1);
  EXPECT_EQ(list, std::vector<std::string>{root_ + "y.txt"});
}

TEST_F(DirScanTest, GetFilesFromDirSkipsDuplicatesAndYoungFilesWhenChecking) {
  std::vector<std::string> list = {"x.ms"};
  writeText(root_ + "sub/x.ms", "dup");
  EXPECT_EQ(getFilesFromDir(root_, list, false), 1);  // only y.txt is new at the top
  EXPECT_EQ(sorted(list), sorted({"x.ms", "y.txt", "z.ms", "w.ms"}));
  EXPECT_EQ(getFilesFromDir(root_ + "missing", list, false), 0);
  // Young files are skipped only when asked to check.
  list.clear();
  EXPECT_EQ(getFilesFromDir(root_, list, false, ".ms", 3600, true), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(getFilesFromDir(root_, list, false, ".ms", 3600, false), 1);
  EXPECT_EQ(list.size(), 3u);
}

TEST_F(DirScanTest, GetSubdirsAndHasFilesWithExtension) {
  ASSERT_EQ(mkdirs(root_ + "other/", true), 0);
  ASSERT_EQ(mkdirs(root_ + ".git/", true), 0);
  std::vector<std::string> list = {"other"};
  EXPECT_EQ(getSubdirs(root_, list, false, 0), 1);
  EXPECT_EQ(sorted(list), sorted({"other", "sub"}));
  list.clear();
  EXPECT_EQ(getSubdirs(root_, list, true, 0), 2);
  EXPECT_EQ(sorted(list), sorted({root_ + "other", root_ + "sub"}));

  EXPECT_TRUE(hasFilesWithExtension(root_, ".ms"));
  EXPECT_FALSE(hasFilesWithExtension(root_, ".csv"));
  // Files of sub-folders do not count, even under a name the top folder has.
  EXPECT_FALSE(hasFilesWithExtension(root_ + "sub", ".txt"));
  writeText(root_ + "other/deep.csv", "");
  EXPECT_FALSE(hasFilesWithExtension(root_, ".csv"));
  EXPECT_TRUE(hasFilesWithExtension(root_ + "other", ".csv"));
}

TEST_F(DirScanTest, DeletesRefuseShortPathsAndDeleteFilesBeforeNeedsBothTimesOld) {
  EXPECT_EQ(deleteOldFiles("/tmp", 0), 0);
  EXPECT_EQ(deleteFilesBefore("./", time(nullptr) + DAY), 0);
  EXPECT_EQ(deleteOldFilesRecursive("/tmp", 1), 0);
  // The status-change time cannot be set back: an old modification time
  // alone does not make a file old.
  writeText(root_ + "old.txt", "o");
  setTimes(root_ + "sub/z.ms", time(nullptr) - 10 * DAY, time(nullptr) - 10 * DAY);
  EXPECT_EQ(deleteFilesBefore(root_ + "sub", time(nullptr) - DAY), 0);
  EXPECT_TRUE(pathExists(root_ + "sub/z.ms"));
  // Not recursive: the non-empty folders stay, their files too.
  int removed = deleteFilesBefore(root_, time(nullptr) + DAY);
  EXPECT_EQ(removed, 3);  // x.ms, y.txt, old.txt
  EXPECT_TRUE(pathExists(root_ + ".hidden.ms"));
  EXPECT_TRUE(pathExists(root_ + "sub/z.ms"));
  EXPECT_EQ(deleteFilesBefore(root_ + "no-such-folder", time(nullptr)), 0);
}

TEST_F(DirScanTest, DeleteOldFilesRecursiveGoesByAccessTime) {
  time_t now = time(nullptr);
  // Read long ago but written just now: removed.
  setTimes(root_ + "x.ms", now - 10 * DAY, now);
  // Written long ago but read just now: kept.
  setTimes(root_ + "y.txt", now, now - 10 * DAY);
  setTimes(root_ + "sub/deeper/w.ms", now - 10 * DAY, now - 10 * DAY);
  ASSERT_EQ(mkdirs(root_ + "emptyold/", true), 0);
  setTimes(root_ + "emptyold", now - 10 * DAY, now - 10 * DAY);
  // An old folder with content stays in this walk (visited before its contents).
  setTimes(root_ + "sub/deeper", now - 10 * DAY, now - 10 * DAY);
  setTimes(root_, now - 10 * DAY, now - 10 * DAY);

  EXPECT_EQ(deleteOldFilesRecursive(root_, DAY), 3);
  EXPECT_FALSE(pathExists(root_ + "x.ms"));
  EXPECT_TRUE(pathExists(root_ + "y.txt"));
  EXPECT_FALSE(pathExists(root_ + "sub/deeper/w.ms"));
  EXPECT_FALSE(pathExists(root_ + "emptyold"));
  EXPECT_TRUE(pathExists(root_ + "sub/deeper"));
  EXPECT_TRUE(pathExists(root_ + "sub/z.ms"));
  EXPECT_TRUE(pathExists(root_));  // the walk's own folder stays

  setTimes(root_ + "sub/deeper", now - 10 * DAY, now - 10 * DAY);
  EXPECT_EQ(deleteOldFilesRecursive(root_, DAY), 1);
  EXPECT_FALSE(pathExists(root_ + "sub/deeper"));
  EXPECT_EQ(deleteOldFilesRecursive(root_, 0), 0);

  // An old link goes, never what it points at.
  TempDir outside;
  writeText(outside.file("keep"), "k");
  setTimes(outside.file("keep"), now - 10 * DAY, now - 10 * DAY);
  ASSERT_EQ(symlink(outside.path().c_str(), (root_ + "link").c_str()), 0);
  setTimes(root_ + "link", now - 10 * DAY, now - 10 * DAY);
  deleteOldFilesRecursive(root_, DAY);
  EXPECT_FALSE(pathExists(root_ + "link"));
  EXPECT_TRUE(pathExists(outside.file("keep")));
}

TEST_F(DirScanTest, DeleteFilesWithKeyword) {
  writeText(root_ + "a_trig.xml", "1");
  writeText(root_ + "b_trig.ms", "2");
  writeText(root_ + ".x_trig", "3");
  ASSERT_EQ(mkdirs(root_ + "empty_trig/", true), 0);
  EXPECT_EQ(deleteFilesWithKeyword(root_, "_trig"), 3);
  EXPECT_TRUE(pathExists(root_ + ".x_trig"));
  EXPECT_TRUE(pathExists(root_ + "x.ms"));
  EXPECT_EQ(deleteFilesWithKeyword(root_ + "sub/deeper", nullptr), 1);
  EXPECT_FALSE(pathExists(root_ + "sub/deeper/w.ms"));
  EXPECT_EQ(deleteFilesWithKeyword(root_ + "nothere", nullptr), 0);
}

// A stamp is trusted only for an unchanged folder whose last change lies
// well before the listing; every entry change, a swapped folder or another
// folder makes the caller list again.
TEST_F(DirScanTest, FolderStampTrustsOnlyAnOldUnchangedFolder) {
  FolderStamp stamp;
  EXPECT_FALSE(stamp.unchanged(root_));  // never noted
  stamp.note(root_);
  EXPECT_FALSE(stamp.unchanged(root_));  // changed just now: a coarse clock could hide more

  const time_t old = time(nullptr) - 60;
  setTimes(root_, old, old);
  stamp.note(root_);
  EXPECT_TRUE(stamp.unchanged(root_));
  EXPECT_FALSE(stamp.unchanged(root_ + "sub/"));
  writeText(root_ + "new.pkt", "8A dir\n");
  EXPECT_FALSE(stamp.unchanged(root_));

  setTimes(root_, old, old);
  stamp.note(root_);
  ASSERT_EQ(rename((root_ + "new.pkt").c_str(), (root_ + "new.pkt.sent.01").c_str()), 0);
  EXPECT_FALSE(stamp.unchanged(root_));

  // Another folder put in its place with the same time.
  const std::string spare = tmp_.path() + "spare";
  ASSERT_EQ(mkdirs(spare + "/", true), 0);
  setTimes(root_ + "sub", old, old);
  setTimes(spare, old, old);
  stamp.note(root_ + "sub");
  ASSERT_TRUE(stamp.unchanged(root_ + "sub"));
  ASSERT_EQ(rename((root_ + "sub").c_str(), (root_ + "gone").c_str()), 0);
  ASSERT_EQ(rename(spare.c_str(), (root_ + "sub").c_str()), 0);
  EXPECT_FALSE(stamp.unchanged(root_ + "sub"));

  stamp.forget();
  EXPECT_FALSE(stamp.unchanged(root_));
}
