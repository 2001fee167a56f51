#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/TimeUtil.h"
#include "waveform/ArchiveFile.h"

namespace {

constexpr char kDefaultTemplate[] = "archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
constexpr char kTidoraTemplate[] = "%U/lumetrafiles/DataArchive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
constexpr char kPiTemplate[] = "/%USB/archive/%S/%Y/%M/%D/%Y%M%D_%H%m_%S";

time_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return timegm(&t);
}

struct tm brokenDown(time_t t) {
  struct tm out;
  gmtm(&out, t);
  return out;
}

using ScopedHome = ScopedValue<std::string>;

void makeFile(const std::string& path, time_t modified = 0) {
  mkdirs(path, false);
  writeText(path, "x");
  if (modified != 0) touchFileTime(path, modified);
}

// --- Templates ------------------------------------------------------------

struct PathCase {
  const char* name;
  const char* tmpl;
  const char* network;
  const char* station;
  uint32_t id;
  time_t time;
  long microseconds;
  const char* extension;
  const char* expected;  // "~" stands for HOMEDIR
};

TEST(ArchiveFileTemplateTest, CodesAndModeTemplatesResolveAsDocumented) {
  ScopedHome home(HOMEDIR, "/home/op");
  const time_t t = utc(2023, 4, 6, 12, 34, 56);
  const PathCase cases[] = {
      {"default mode", kDefaultTemplate, "AU", "ABCD", 1, t, 0, ".ms",
       "archive/ABCD/2023/04/06/12/20230406_1234_ABCD.ms"},
      {"tidora and service modes", kTidoraTemplate, "AU", "ABCD", 1, t, 0, ".ms",
       "/home/op/lumetrafiles/DataArchive/ABCD/2023/04/06/12/20230406_1234_ABCD.ms"},
      {"folder template", "/data/wave", "AU", "ABCD", 1, t, 0, ".ms",
       "/data/wave/ABCD/2023/04/06/12/2023-04-06 1234 00 ABCD.ms"},
      {"folder template loses one trailing slash", "/data/wave/", "AU", "ABCD", 1, t, 0, ".ms",
       "/data/wave/ABCD/2023/04/06/12/2023-04-06 1234 00 ABCD.ms"},
      {"day of year on 1 February", "x/%d/%Y", "", "S", 0, utc(2024, 2, 1, 0, 0, 0), 0, "",
       "x/032/2024"},
      {"day of year on 31 December of a leap year", "x/%d/%Y", "", "S", 0,
       utc(2024, 12, 31, 0, 0, 0), 0, "", "x/366/2024"},
      {"serial in eight hex digits", "x/%I/%Y", "", "S", 6699, t, 0, "", "x/00001a2b/2023"},
      {"network, seconds, microseconds", "x/%N.%S.%H%m%s.%u", "AU", "ABCD", 0, t, 42, "",
       "x/AU.ABCD.123456.000042"},
      {"extension already in the path is not doubled", "x/%Y%M%D.ms", "", "S", 0, t, 0, ".ms",
       "x/20230406.ms"},
      {"unknown code and a lone percent stay", "x/%Q%Y%", "", "S", 0, t, 0, "", "x/%Q2023%"},
      {"byte above 126 becomes X", "x/%S/%Y", "",
       "AB\xC8"
       "D",
       0, t, 0, "", "x/ABXD/2023"},
      {"values are not scanned for codes", "x/%N/%S/%Y", "%S", "%Y", 0, t, 0, "", "x/%S/%Y/2023"},
  };
  for (const PathCase& c : cases) {
    ArchiveFile archive(c.tmpl);
    struct tm when = brokenDown(c.time);
    EXPECT_EQ(c.expected,
              archive.getPath(c.network, c.station, c.id, when, c.microseconds, c.extension, false))
        << c.name;
  }
}

TEST(ArchiveFileTemplateTest, UsbCodeBeforeHomeCodeAndEmptyTemplateOrMissingDrive) {
  ScopedHome home(HOMEDIR, "/home/op");
  ArchiveFile archive(kPiTemplate);
  archive.TEST_setDriveFinder([] { return std::string("/media/pi/DATA/"); });
  struct tm when = brokenDown(utc(2023, 4, 6, 12, 34, 56));
  EXPECT_EQ("//media/pi/DATA//archive/ABCD/2023/04/06/20230406_1234_ABCD.ms",
            archive.getPath("AU", "ABCD", 1, when, 0, ".ms", false));
  ArchiveFile unconfigured;
  EXPECT_FALSE(unconfigured.isEnabled());
  EXPECT_EQ("", unconfigured.mkdirs("AU", "ABCD", 1, time_t{1680784496}, 0, ".ms", false));
  archive.TEST_setDriveFinder([] { return std::string(); });
  EXPECT_EQ("", archive.getPath("AU", "ABCD", 1, when, 0, ".ms", false));
  EXPECT_EQ("", archive.mkdirs("AU", "ABCD", 1, when, 0, ".ms", true));
  EXPECT_EQ("", archive.getCurrentPath()) << "an empty path must not be tracked";
}

TEST(ArchiveFileTemplateTest, LongTemplatesPathsAndFilenamesAreCut) {
  std::string longFolder(250, 'a');
  ArchiveFile archive("data/" + longFolder + "/%Y");
  EXPECT_EQ(ARCHIVE_TEMPLATE_MAX, archive.getTemplate().size());
  ArchiveFile exact("x/%S/" + std::string(ARCHIVE_PATH_MAX - 12, 'b') + "%Y");
  struct tm when = brokenDown(utc(2023, 4, 6, 12, 34, 56));
  std::string path = exact.getPath("", "ABCD", 0, when, 0, ".ms", false);
  // 2 + 4 + 1 + 187 + 4 = 198 characters, one more from the extension fits.
  EXPECT_EQ(ARCHIVE_PATH_MAX, path.size());
  EXPECT_EQ("2023.", path.substr(path.size() - 5));
  EXPECT_EQ("20230406_1234_ABCD.ms",
            ArchiveFile(kDefaultTemplate)
                .getFilename("AU", "ABCD", 1, utc(2023, 4, 6, 12, 34, 56), 0, ".ms"));
  ArchiveFile longName("x/%Y" + std::string(150, 'n'));
  EXPECT_EQ(ARCHIVE_FILENAME_MAX,
            longName.getFilename("", "S", 0, utc(2023, 4, 6, 12, 34, 56), 0, "").size());
}

// --- Hostile codes --------------------------------------------------------

TEST(ArchiveFileHostileCodeTest, SeparatorsAndLeadingPointsAreNeutralisedInsideTheTree) {
  const char* const cases[][2] = {{"ABCD", "ABCD"}, {"A.B", "A.B"}, {"../x", "_._x"},
                                  {"a/b", "a_b"},   {"\\", "_"},    {".hidden", "_hidden"},
                                  {".", "_"},       {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(c[1], safePathCode(c[0])) << c[0];
  // Hostile station and network codes stay inside the archive tree.
  TempDir dir;
  const std::string root = dir.path() + "archive/";
  ArchiveFile archive(root + "%N/%S/%Y/%Y%M%D_%H%m_%S");
  const time_t t = utc(2023, 4, 6, 12, 34, 56);
  const char* hostile[] = {"../x", "a/b", "\\", ".hidden", "..", "/etc"};
  for (const char* code : hostile) {
    std::string path = archive.mkdirs(code, code, 1, t, 0, ".ms", false);
    ASSERT_EQ(0u, path.compare(0, root.size(), root)) << code;
    std::string rest = path.substr(root.size());
    // network / station / year / file: exactly three separators below the root
    EXPECT_EQ(3, std::count(rest.begin(), rest.end(), '/')) << code << " -> " << path;
    EXPECT_EQ(std::string::npos, rest.find("/.")) << code << " -> " << path;
    EXPECT_NE('.', rest[0]) << code << " -> " << path;
    EXPECT_EQ(std::string::npos, rest.find('\\')) << code << " -> " << path;
  }
  // Only the archive folder was created in the temporary folder.
  EXPECT_EQ(std::vector<std::string>{"archive"}, listDir(dir.path()));
  EXPECT_TRUE(isDir(root + "_._x/_._x/2023"));
}

// --- Folders --------------------------------------------------------------

TEST(ArchiveFileMkdirsTest, CreatesFoldersOnlyFromYear2000) {
  TempDir dir;
  ArchiveFile archive(dir.path() + "archive/%S/%Y/%M/%Y%M%D_%H%m_%S");
  std::string path = archive.mkdirs("AU", "ABCD", 1, utc(1999, 12, 31, 23, 59, 0), 0, ".ms", false);
  EXPECT_EQ(dir.path() + "archive/ABCD/1999/12/19991231_2359_ABCD.ms", path);
  EXPECT_FALSE(pathExists(dir.path() + "archive"));
  path = archive.mkdirs("AU", "ABCD", 1, utc(2000, 1, 1, 0, 0, 0), 0, ".ms", false);
  EXPECT_TRUE(isDir(dir.path() + "archive/ABCD/2000/01"));
  EXPECT_FALSE(pathExists(path)) << "only folders are created";
}

// --- Finished minutes -----------------------------------------------------

class ArchiveFileTrackingTest : public ::testing::Test {
 protected:
  ArchiveFileTrackingTest() : archive_(kDefaultTemplate) {
    archive_.TEST_setClock([this] { return now_; });
  }

  // A tracked write of data time t, as PacketArchive::write resolves it.
  std::string write(time_t t) {
    return archive_.getPath("AU", "ABCD", 1, brokenDown(t), 0, ".ms", true);
  }
  std::string pathOf(time_t t) {
    return archive_.getPath("AU", "ABCD", 1, brokenDown(t), 0, ".ms", false);
  }
  // Every file changed() hands out now.
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    while (archive_.changed(nullptr)) out.push_back(archive_.getFinishedPath());
    return out;
  }

  ArchiveFile archive_;
  time_t now_ = utc(2024, 6, 1, 8, 0, 0);
};

// A script of steps from a start minute t: "wN" writes data time t+N, "+N"
// moves the clock N seconds, "=a,b" expects changed() to hand out the files
// of t+a, t+b ("=" nothing), "cN" expects the open file of t+N and "xa,b"
// expects closeOut() to hand out the files of t+a, t+b.
struct TrackingCase {
  const char* name;
  time_t start;
  const char* script;
};

TEST_F(ArchiveFileTrackingTest, ScriptedWritesAndClockStepsFinishEachMinuteOnceInOrder) {
  const time_t noon = utc(2023, 4, 6, 12, 0, 0);
  const TrackingCase cases[] = {
      {"one minute finishes nothing; the hold ends after ten full seconds", noon,
       "w0 w50 = w60 = +10 = +1 w70 =0 ="},
      {"year boundary", utc(2023, 12, 31, 23, 59, 0), "w58 w61 +11 =0 c60"},
      {"leap day", utc(2024, 2, 29, 23, 59, 0), "w30 w60 +11 =0 c60"},
      {"minutes faster than real time all reported", noon,
       "w0 w30 w60 w90 w120 w150 w180 w210 +11 =0,60,120 c180"},
      {"changes during the hold are reported one per call", noon, "w0 w60 +5 w120 +6 =0 +5 =60"},
      {"late record of the waiting minute finishes nothing new", noon,
       "w59 w60 w58 w61 +11 =0 c60"},
      {"waiting minute not reported while being written", noon, "w30 w60 +11 w59 = w62 =0"},
      {"late record of a reported minute finishes it again", noon,
       "w30 w60 +11 w70 =0 w45 w75 +11 w80 =0 c60 w50 x0,60"},
  };
  for (const TrackingCase& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveFile archive(kDefaultTemplate);
    archive.TEST_setClock([this] { return now_; });
    const auto pathOf = [&](time_t t) {
      return archive.getPath("AU", "ABCD", 1, brokenDown(t), 0, ".ms", false);
    };
    const auto paths = [&](const std::string& offsets) {
      std::vector<std::string> out;
      std::istringstream in(offsets);
      for (std::string n; std::getline(in, n, ',');) out.push_back(pathOf(c.start + std::stol(n)));
      return out;
    };
    std::istringstream script(c.script);
    for (std::string step; script >> step;) {
      SCOPED_TRACE(step);
      const std::string arg = step.substr(1);
      std::vector<std::string> handed;
      switch (step[0]) {
        case 'w':
          archive.getPath("AU", "ABCD", 1, brokenDown(c.start + std::stol(arg)), 0, ".ms", true);
          break;
        case '+':
          now_ += std::stol(arg);
          break;
        case '=':
          while (archive.changed(nullptr)) handed.push_back(archive.getFinishedPath());
          EXPECT_EQ(handed, paths(arg));
          break;
        case 'c':
          EXPECT_EQ(archive.getCurrentPath(), pathOf(c.start + std::stol(arg)));
          break;
        case 'x':
          while (archive.closeOut(nullptr)) handed.push_back(archive.getFinishedPath());
          EXPECT_EQ(handed, paths(arg));
          break;
      }
    }
  }
}

TEST_F(ArchiveFileTrackingTest, FullQueueCutsHoldShortAndLosesNoMinute) {
  const time_t t = utc(2023, 4, 6, 0, 0, 0);
  const int extra = 3;
  const int minutes = static_cast<int>(ArchiveFile::FINISHED_QUEUE_MAX) + extra + 1;
  for (int m = 0; m < minutes; ++m) write(t + m * 60);
  // Without any time passing, the minutes over the limit are due at once.
  std::vector<std::string> early = drain();
  ASSERT_EQ(static_cast<size_t>(extra), early.size());
  now_ += ArchiveFile::HOLD_SECONDS + 1;
  std::vector<std::string> all = early;
  for (const std::string& p : drain()) all.push_back(p);
  ASSERT_EQ(static_cast<size_t>(minutes - 1), all.size());
  for (int m = 0; m < minutes - 1; ++m) EXPECT_EQ(pathOf(t + m * 60), all[m]) << m;
}

TEST_F(ArchiveFileTrackingTest, WaitingFilesAreTouchedUntilReported) {
  TempDir dir;
  ArchiveFile archive(dir.path() + "archive/%S/%Y%M%D_%H%m_%S");
  archive.TEST_setClock([this] { return now_; });
  const time_t t = utc(2023, 4, 6, 12, 0, 0);
  std::string first = archive.mkdirs("AU", "ABCD", 1, t, 0, ".ms", true);
  makeFile(first, t);
  std::string second = archive.mkdirs("AU", "ABCD", 1, t + 60, 0, ".ms", true);
  makeFile(second, t);
  EXPECT_FALSE(archive.changed(nullptr));
  EXPECT_GT(fileModifiedTime(first), time(nullptr) - 60);
  EXPECT_GT(fileModifiedTime(second), time(nullptr) - 60);
}

// --- Finding files ---------------------------------------------------------

class ArchiveFileFindTest : public ::testing::Test {
 protected:
  ArchiveFileFindTest()
      : root_(dir_.path() + "archive/"), archive_(root_ + "%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S") {
    archive_.TEST_setSleeper([this] {
      ++sleeps_;
      if (onSleep_) onSleep_();
    });
  }
  std::string minute(const char* station, int hour, int min) {
    char text[96];
    snprintf(text, sizeof text, "%s/2023/04/06/%02d/20230406_%02d%02d_%s", station, hour, hour, min,
             station);
    return root_ + text;
  }

  TempDir dir_;
  std::string root_;
  ArchiveFile archive_;
  CaptureLog log_;
  int sleeps_ = 0;
  std::function<void()> onSleep_;
};

TEST_F(ArchiveFileFindTest, FindsEveryVariantInExtensionOrderWithoutWaiting) {
  makeFile(minute("ABCD", 12, 0) + ".ms");
  makeFile(minute("ABCD", 12, 0) + ".ms.zip");
  makeFile(minute("ABCD", 12, 2) + ".trig.ms.zip");
  makeFile(minute("ABCD", 12, 3) + ".xml");  // one minute past the span
  std::vector<std::string> list{"already"};
  int n = archive_.getFiles(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 0, 20), 2, false, &log_);
  EXPECT_EQ(4, n);
  EXPECT_EQ((std::vector<std::string>{"already", minute("ABCD", 12, 0) + ".ms.zip",
                                      minute("ABCD", 12, 0) + ".ms",
                                      minute("ABCD", 12, 2) + ".trig.ms.zip"}),
            list);
  EXPECT_EQ(0, sleeps_);
  EXPECT_TRUE(log_.has("*Found " + minute("ABCD", 12, 2) + ".trig.ms.zip"));
}

TEST_F(ArchiveFileFindTest, WaitTriesFiveTimesForAnEmptyMinuteAndFindsALateFile) {
  makeFile(minute("ABCD", 12, 0) + ".ms");
  std::vector<std::string> list;
  EXPECT_EQ(1, archive_.getFiles(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 0, 0), 1, true, &log_));
  EXPECT_EQ(ArchiveFile::GETFILES_ATTEMPTS - 1, sleeps_) << "no pause after the last attempt";
  EXPECT_TRUE(log_.has("Nothing found.  Try again (4)"));
  EXPECT_FALSE(log_.has("Nothing found.  Try again (5)"));
  sleeps_ = 0;
  list.clear();
  onSleep_ = [this] {
    if (sleeps_ == 2) makeFile(minute("ABCD", 12, 1) + ".ms.zip");
  };
  EXPECT_EQ(1, archive_.getFiles(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 1, 0), 0, true, &log_));
  EXPECT_EQ(2, sleeps_);
}

TEST_F(ArchiveFileFindTest, StationListSplitsSerialAndHourlyFileIsListedOnce) {
  ArchiveFile archive(root_ + "%S.%I/%Y%M%D_%H%m");
  makeFile(root_ + "ABCD.00001a2b/20230406_1200.ms");
  makeFile(root_ + "EFGH.00000000/20230406_1200.ms.zip");
  std::vector<std::string> list;
  EXPECT_EQ(2, archive.getFiles(list, "AU", {"ABCD.1a2b", "EFGH"}, utc(2023, 4, 6, 12, 0, 0), 0,
                                false, nullptr));
  EXPECT_EQ((std::vector<std::string>{root_ + "ABCD.00001a2b/20230406_1200.ms",
                                      root_ + "EFGH.00000000/20230406_1200.ms.zip"}),
            list);
  ArchiveFile hourly(root_ + "%S/%Y%M%D_%H");  // lists each hourly file once
  makeFile(root_ + "ABCD/20230406_12.ms");
  list.clear();
  EXPECT_EQ(1,
            hourly.getFiles(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 0, 0), 5, false, nullptr));
}

TEST_F(ArchiveFileFindTest, FilesInMinuteTriesEverySecondAndFilesInSecondsCrossMinutes) {
  ArchiveFile trig(root_ + "triggers/%S/%Y%M%D_%H%m_%s%u_%S");
  const std::string base = root_ + "triggers/ABCD/20230406_1234_";
  makeFile(base + "05_ABCD.trig");
  makeFile(base + "40_ABCD.trig");
  makeFile(root_ + "triggers/ABCD/20230406_1235_02_ABCD.trig");
  std::vector<std::string> list;
  EXPECT_EQ(
      2, trig.getFilesInMinute(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 34, 20), ".trig", &log_));
  EXPECT_EQ((std::vector<std::string>{base + "05_ABCD.trig", base + "40_ABCD.trig"}), list);
  EXPECT_TRUE(log_.has("FOUND trig file: [" + base + "40_ABCD.trig]=40"));
  ArchiveFile perMinute(root_ + "triggers/%S/%Y%M%D_%H%m_%S");  // one name per minute
  makeFile(root_ + "triggers/ABCD/20230406_1234_ABCD.trig");
  EXPECT_EQ(1, perMinute.getFilesInMinute(list, "AU", "ABCD", 1, utc(2023, 4, 6, 12, 34, 20),
                                          ".trig", nullptr));
  // A window of seconds is covered across minutes (another station).
  ArchiveFile seconds(root_ + "triggers/%S/%Y%M%D_%H%m_%s_%S");
  const std::string dir = root_ + "triggers/EFGH/";
  makeFile(dir + "20230406_1234_47_EFGH.trig");  // one second before the window
  makeFile(dir + "20230406_1234_48_EFGH.trig");
  makeFile(dir + "20230406_1235_03_EFGH.trig");
  makeFile(dir + "20230406_1235_04_EFGH.trig");  // one second after
  list.clear();
  EXPECT_EQ(2, seconds.getFilesInSeconds(list, "AU", "EFGH", 1, utc(2023, 4, 6, 12, 34, 58), 10, 5,
                                         ".trig", &log_));
  EXPECT_EQ((std::vector<std::string>{dir + "20230406_1234_48_EFGH.trig",
                                      dir + "20230406_1235_03_EFGH.trig"}),
            list);
  EXPECT_TRUE(log_.has("FOUND SEC trig file: [" + dir + "20230406_1234_48_EFGH.trig]=-10"));
}

// --- Old files ---------------------------------------------------------------

TEST(ArchiveFileDeletionRootTest, RootRulesFollowTemplateText) {
  ScopedHome home(HOMEDIR, "/home/op");
  struct Case {
    const char* tmpl;
    const char* root;    // deletion root kept by setTemplate
    const char* folder;  // folder deleteOld walks
  } cases[] = {
      {kDefaultTemplate, kDefaultTemplate, "archive/"},
      {"/data/wave", "/data/wave/%S/%Y/%M/%D/%H/%Y-%M-%D %H%m 00 %S.ms", "/data/wave/"},
      {kTidoraTemplate, kTidoraTemplate, "/home/op/lumetrafiles/DataArchive/"},
      {"/srv/seis/%S/%Y/%M", "", ""},  // longer than 7, neither "data" nor "rchive"
      {"a/%S/%Y", "a/%S/%Y", "a/"},    // short template keeps its root
      {"%U/%Y", "%U/%Y", ""},          // home folder itself is never walked
      {"ar%S/%Y", "ar%S/%Y", ""},      // no fixed folder before the first code
  };
  for (const Case& c : cases) {
    ArchiveFile archive(c.tmpl);
    EXPECT_EQ(c.root, archive.getDeletionRoot()) << c.tmpl;
    EXPECT_EQ(c.folder, archive.getDeletionFolder()) << c.tmpl;
  }
  ArchiveFile pi(kPiTemplate);
  pi.TEST_setDriveFinder([] { return std::string("/media/pi/DATA/"); });
  EXPECT_EQ("//media/pi/DATA//archive/", pi.getDeletionFolder());
  pi.TEST_setDriveFinder([] { return std::string(); });
  EXPECT_EQ("", pi.getDeletionFolder());
}

TEST(ArchiveFileDeleteOldTest, RemovesOldFilesAndEmptiedFoldersOnlyUnderAQualifyingRoot) {
  constexpr int32_t kAge = 86400;
  time_t now = time(nullptr);
  time_t old = now - 2 * kAge;
  TempDir dir;
  const std::string root = dir.path() + "archive/";
  ArchiveFile archive(root + "%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S");
  archive.TEST_setClock([&] { return now; });
  makeFile(root + "ABCD/2023/01/01/00/old1.ms", old);
  makeFile(root + "ABCD/2023/01/01/00/old2.ms.zip", old);
  makeFile(root + "ABCD/2023/01/02/00/new.ms", now);
  makeFile(root + "ABCD/2023/01/02/00/old3.ms", old);
  for (const char* folder : {"ABCD/2023/01/01/00", "ABCD/2023/01/01", "ABCD/2023/01/02/00",
                             "ABCD/2023/01/02", "ABCD/2023/01", "ABCD/2023", "ABCD"}) {
    touchFileTime(root + folder, old);
  }
  EXPECT_EQ(0, archive.deleteOld()) << "no age limit";
  archive.setAgeLimit(-1);
  EXPECT_EQ(0, archive.deleteOld());
  archive.setAgeLimit(kAge);
  EXPECT_EQ(5, archive.deleteOld());  // three files and the folders 01/01/00 and 01/01
  EXPECT_FALSE(pathExists(root + "ABCD/2023/01/01"));
  EXPECT_FALSE(pathExists(root + "ABCD/2023/01/02/00/old3.ms"));
  EXPECT_TRUE(pathExists(root + "ABCD/2023/01/02/00/new.ms"));
  EXPECT_TRUE(isDir(root));

  // The template holds "data" only after its first code, so the fixed folder
  // (the temporary folder plus "keep/") qualifies by neither rule.
  const std::string keep = dir.path() + "keep/";
  ArchiveFile kept(keep + "%S/data/%Y/%Y%M%D_%H%m_%S");
  ASSERT_NE("", kept.getDeletionRoot());
  kept.setAgeLimit(kAge);
  makeFile(keep + "ABCD/data/2023/old.ms", old);
  EXPECT_EQ("", kept.getDeletionFolder());
  EXPECT_EQ(0, kept.deleteOld());
  EXPECT_TRUE(pathExists(keep + "ABCD/data/2023/old.ms"));

  ScopedHome home(HOMEDIR, dir.path() + "home");
  makeFile(dir.path() + "home/old.txt", old);
  ArchiveFile homeTemplate("%U/%Y");
  homeTemplate.setAgeLimit(kAge);
  EXPECT_EQ(0, homeTemplate.deleteOld());
  EXPECT_TRUE(pathExists(dir.path() + "home/old.txt"));
}

}  // namespace
