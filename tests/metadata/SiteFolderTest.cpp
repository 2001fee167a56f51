// The station register: marker names and folders, the touch interval with a
// fake clock, removal, listings and the sites and siteinfos files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "core/Log.h"
#include "metadata/SiteFolder.h"
#include "support/CaptureLog.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

class SiteFolderTest : public ::testing::Test {
 protected:
  SiteFolderTest() : sites_([this] { return now_; }) { sites_.init(base_.path()); }

  std::string root() const { return base_.path() + "sites/"; }

  TempDir base_;
  ScopedBaseDir scopedBase_{base_.path()};
  time_t now_ = 1000000;
  SiteFolder sites_;
};

// The marker is station.pointid in the folder of the network's first two
// characters; codes from the instrument cannot leave the register.
TEST_F(SiteFolderTest, MarkerIsStationPointIdInTwoLetterNetworkFolder) {
  struct Case {
    const char* station;
    const char* network;
    uint32_t id;
    const char* path;  // below the register; "" for none
  } cases[] = {
      {"AB123", "XY", 0x0123ABCD, "XY/AB123.0123abcd"},
      {"ABCDEFGH", "XYZ", 1, "XY/ABCDEF.00000001"},  // six of the station count
      {"AB1", "", 1, "__/AB1.00000001"},
      {"AB2", "_", 2, "__/AB2.00000002"},
      {"../x", "..", 7, "_./_._x.00000007"},
      {"", "XY", 1, ""},
  };
  for (const Case& c : cases) {
    const std::string want = *c.path ? root() + c.path : "";
    EXPECT_EQ(sites_.sitePath(c.station, c.network, c.id), want) << c.station;
    sites_.addStation(c.station, c.network, c.id, nullptr);
    EXPECT_TRUE(!*c.path || isFile(want)) << want;
  }
  EXPECT_EQ(listDir(base_.path()), (std::vector<std::string>{"sites"}));
  EXPECT_EQ(listDir(root()), (std::vector<std::string>{"XY", "_.", "__"}));
  struct stat st;
  ASSERT_EQ(stat((root() + "XY/AB123.0123abcd").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  ASSERT_EQ(stat((root() + "XY").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  // The network folder goes with its last marker, the register stays.
  sites_.removeStation("AB1", "", 1);
  EXPECT_EQ(listDir(root() + "__"), (std::vector<std::string>{"AB2.00000002"}));
  sites_.removeStation("AB2", "_", 2);
  EXPECT_FALSE(pathExists(root() + "__"));
  EXPECT_TRUE(isDir(root()));
}

TEST_F(SiteFolderTest, DisabledRegisterDoesNothing) {
  SiteFolder idle;
  EXPECT_FALSE(idle.isEnabled());
  EXPECT_EQ(idle.sitePath("AB123", "XY", 1), "");
  idle.addStation("AB123", "XY", 1, nullptr);
  idle.touchStation("AB123", "XY", 1, nullptr);
  EXPECT_TRUE(idle.getStations("XY").empty());
  EXPECT_EQ(idle.getStations("XY", nullptr), "");
  EXPECT_TRUE(listDir(root()).empty());
}

TEST_F(SiteFolderTest, HomeCodeAtStartOfBaseIsTheHomeFolder) {
  ScopedValue<std::string> home(HOMEDIR, base_.path() + "home");
  SiteFolder sites;
  sites.init("%U/trans/");
  EXPECT_EQ(sites.getRoot(), base_.path() + "home/trans/sites/");
  EXPECT_TRUE(isDir(base_.path() + "home/trans/sites"));
}

TEST_F(SiteFolderTest, TouchActsAtMostEveryElevenSeconds) {
  const std::string marker = root() + "XY/AB123.0123abcd";
  sites_.touchStation("AB123", "XY", 0x0123ABCD, nullptr);  // missing: created
  ASSERT_TRUE(isFile(marker));
  ASSERT_TRUE(touchFileTime(marker, 5));

  now_ += 5;
  sites_.touchStation("AB123", "XY", 0x0123ABCD, nullptr);
  EXPECT_EQ(fileModifiedTime(marker), 5);  // too soon: nothing happened

  now_ += 7;  // 12 s after the first touch
  sites_.touchStation("AB123", "XY", 0x0123ABCD, nullptr);
  EXPECT_EQ(fileModifiedTime(marker), now_);

  ASSERT_TRUE(removeFile(marker));
  now_ += 10;
  sites_.touchStation("AB123", "XY", 0x0123ABCD, nullptr);
  EXPECT_FALSE(isFile(marker));
  now_ += 1;
  sites_.touchStation("AB123", "XY", 0x0123ABCD, nullptr);  // a deleted marker comes back
  EXPECT_TRUE(isFile(marker));
  EXPECT_EQ(sites_.getLastTouch(), now_);
}

TEST_F(SiteFolderTest, RemoveAllDeletesMarkersAndFoldersButNotHiddenOrPointlessNames) {
  sites_.addStation("AA1", "XY", 1, nullptr);
  sites_.addStation("BB2", "ZZ", 2, nullptr);
  writeText(root() + "XY/README", "kept");
  writeText(root() + ".keep.me", "kept");
  ASSERT_EQ(mkdirs(root() + "ZZ/deep/er/", true), 0);
  writeText(root() + "ZZ/deep/er/x.y", "");
  // A link into another folder is removed, never followed.
  TempDir outside;
  writeText(outside.file("victim.txt"), "stays");
  ASSERT_EQ(symlink(outside.path().c_str(), (root() + "ZZ/link.dir").c_str()), 0);

  sites_.removeAll();
  EXPECT_EQ(listDir(root()), (std::vector<std::string>{"XY"}));
  EXPECT_TRUE(isFile(root() + ".keep.me"));
  EXPECT_EQ(listDir(root() + "XY"), (std::vector<std::string>{"README"}));
  EXPECT_TRUE(isFile(outside.file("victim.txt")));
}

TEST_F(SiteFolderTest, FilteredListingsKeepOnlyRegisterNames) {
  for (const char* name : {"AA1.00000001", "BB2.00000002", "nopoint12345", "ABC.12345",
                           "ABCDEFG.12345678", ".AB.12345678"}) {
    mkdirs(root() + "XY/", true);
    writeText(root() + "XY/" + name, "");
  }
  ASSERT_EQ(mkdirs(root() + "XY/SUB.00000003/", true), 0);  // a folder is no station
  std::vector<std::string> all = sites_.getAllStations("XY");
  EXPECT_EQ(all.size(), 6u);
  std::vector<std::string> names = sites_.getStations("XY");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"AA1.00000001", "BB2.00000002"}));
  EXPECT_TRUE(SiteFolder::contains(names, "BB2.00000002"));
  EXPECT_FALSE(SiteFolder::contains(names, "BB2.0000000"));

  CaptureLog log;
  std::string joined = sites_.getStations("XY", &log);
  EXPECT_TRUE(joined == "AA1.00000001,BB2.00000002," || joined == "BB2.00000002,AA1.00000001,")
      << joined;
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "Sites: " + joined + "\n");
  EXPECT_EQ(sites_.getStations("QQ", nullptr), "");
}

TEST_F(SiteFolderTest, JoinedListHoldsWholeNamesOnly) {
  // 40 names of 15 characters: 640 characters would not fit.
  for (int i = 0; i < 40; ++i) sites_.addStation("ABCDEF", "XY", static_cast<uint32_t>(i), nullptr);
  std::string joined = sites_.getStations("XY", nullptr);
  EXPECT_LE(joined.size(), SITE_PATH_MAX);
  EXPECT_EQ(joined.size() % 16, 0u);
  EXPECT_EQ(joined.back(), ',');
}

TEST_F(SiteFolderTest, SitesFileHoldsListOrOneSpace) {
  TempDir download;
  sites_.addStation("AA1", "XY", 1, nullptr);
  ASSERT_TRUE(sites_.writeSitesFile(download.path(), "XY", nullptr));
  EXPECT_EQ(readText(download.path() + "XY/sites"), "AA1.00000001,");
  ASSERT_TRUE(sites_.writeSitesFile(download.path(), "QQ", nullptr));
  EXPECT_EQ(readText(download.path() + "QQ/sites"), " ");
  ASSERT_TRUE(sites_.writeSitesFile(download.path(), "", nullptr));
  EXPECT_EQ(readText(download.path() + "sites"), " ");
  struct stat st;
  ASSERT_EQ(stat((download.path() + "XY/sites").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

// Waveform files by minute index from a fixed start.
class FakeWaveforms : public SiteWaveforms {
 public:
  FakeWaveforms(time_t start, std::map<int, std::string> files) : start_(start), files_(files) {}
  std::vector<std::string> getWaveFilePaths(time_t minute, const std::string& station,
                                            const std::string& network) override {
    asked.push_back(station + "@" + network);
    auto it = files_.find(static_cast<int>((minute - start_) / 60));
    if (it == files_.end()) return {};
    return {it->second};
  }
  int numChannelsInZipFile(const std::string& path) override { return path == "m.ms.zip" ? 3 : -1; }
  std::vector<std::string> asked;

 private:
  time_t start_;
  std::map<int, std::string> files_;
};

TEST_F(SiteFolderTest, SiteInfosGiveOneStatusPerMinute) {
  TempDir download;
  sites_.addStation("AB123", "XY", 0x0123abcd, nullptr);
  const time_t t = 1617666300;  // 2021-04-05 23:45:00 UTC
  FakeWaveforms waves(t, {{0, "m.ms.zip"}, {1, "m.ms.zip"}, {2, "m.ms.zip"}, {4, "m.ms"}});
  ASSERT_TRUE(sites_.writeSiteInfosFile(download.path(), "XY", t, waves, 4));
  EXPECT_EQ(readText(download.path() + "XY/siteinfos"),
            "2021-04-05 2345\nAB123.0123abcd,3330x,4\n");
  EXPECT_EQ(waves.asked.size(), 5u);
  EXPECT_EQ(waves.asked[0], "AB123.0123abcd@XY");
}

TEST_F(SiteFolderTest, MarkerThatCannotBeCreatedIsLogged) {
  writeText(root() + "XY", "a file where the network folder belongs");
  CaptureLog log;
  sites_.addStation("AB123", "XY", 1, &log);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "Failed to create file " + root() + "XY/AB123.00000001. Not a directory");
}

}  // namespace
