// The session's settings operations: setting replies that change the
// settings write the station's download copy (on every second change check)
// and its StationXML, and readSettings takes a downloaded settings file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "session/SessionTestSupport.h"
#include "util/Dirs.h"

namespace {

class SessionSettingsTest : public SessionFixture {
 protected:
  void SetUp() override { initSession(); }
  std::string downloadCopy() { return DOWNLOAD_DIR + "ABCD.00000000/settings.ss"; }
};

}  // namespace

TEST_F(SessionSettingsTest, ChangedSettingsAreStampedAndWrittenOnTheSecondCheck) {
  session.processSetSetting("\"sitename\"=\"ABCD\"");  // first check: not yet reported
  EXPECT_EQ(session.getStationLabel(), "ABCD.00000000");
  EXPECT_FALSE(pathExists(downloadCopy()));
  session.processSetSetting("network_code=AU");
  std::string text = readText(downloadCopy());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.rfind("\"format\"=\"vorlanmeta\"\n", 0), 0u);
  EXPECT_NE(text.find("\n\"network_code\"=\"AU\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"sitename\"=\"ABCD\"\n"), std::string::npos);
  // "time" holds the local time in the form "YYYY-MM-DD HHMM SS".
  SsFile back;
  ASSERT_EQ(back.read(downloadCopy()), 1);
  std::string stamp;
  ASSERT_EQ(back.getStr("time", stamp), 1);
  EXPECT_EQ(stamp.size(), SS_SETTINGS_TIME_LEN);
  EXPECT_EQ(back.getHistogramTime().size(), SS_TIME_TEXT_MAX);
  EXPECT_TRUE(pathExists(dir.path() + "response/ABCD.xml"));
  EXPECT_FALSE(session.TEST_ssFile().JsonFile::isChanged());

  // Unchanged answers write nothing; a changed one is written again.
  removeFile(downloadCopy());
  session.processSetSetting("network_code=AU");
  session.processSetSetting("network_code=AU");
  EXPECT_FALSE(pathExists(downloadCopy()));
  session.processSetSetting("cpv=500000");
  session.processSetSetting("cpv=500000");
  EXPECT_NE(readText(downloadCopy()).find("\n\"cpv\"=500000\n"), std::string::npos);
}

TEST_F(SessionSettingsTest, NoDownloadCopyWithoutAStation) {
  session.processSetSetting("cpv=1");
  session.processSetSetting("cpv=2");
  EXPECT_TRUE(listDir(DOWNLOAD_DIR).empty());
}

TEST_F(SessionSettingsTest, ReadSettingsTakesTheDownloadedFileOrLogsTheFailure) {
  session.processSetSetting("sitename=ABCD");
  session.readSettings();
  EXPECT_NE(logText().find("fail download " + downloadCopy()), std::string::npos);
  EXPECT_EQ(session.dataAckInterval(), 1);  // build still unknown
  mkdirs(downloadCopy(), false);
  writeText(downloadCopy(), "\"build_number\"=4710\r\n\"gain\"=2\r\n");
  session.readSettings();
  EXPECT_NE(logText().find("ABCD build=4710"), std::string::npos) << logText();
  EXPECT_EQ(session.TEST_ssFile().getBuildNo(), 4710);
  EXPECT_FLOAT_EQ(session.TEST_ssFile().getGainA(), 4.0f);
  EXPECT_EQ(session.dataAckInterval(), DATA_ACK_INTERVAL);
  // Entries the file lacks are kept.
  EXPECT_EQ(session.TEST_ssFile().getStation(), "ABCD");
}

// The end of a query cycle writes the state-of-health record, unless the
// histogram archive is off; the monitor folder gets it in both modes, and
// the changed settings.
TEST_F(SessionSettingsTest, EndOfAQueryCycleWritesTheHistogramRecord) {
  static const char* const NO_KEYS[] = {""};  // every step ends a cycle
  for (int mode : {HISTOGRAM_SELF, HISTOGRAM_OFF}) {
    const std::string folder = dir.path() + "h" + std::to_string(mode) + "/";
    std::string props = sessionProps();
    props.replace(props.find("settingcommands=0"), 17, "settingcommands=1");
    const std::string monitor = dir.path() + "m" + std::to_string(mode);
    writeText(dir.file("vh.props"), props + "histogramenabled=" + std::to_string(mode) +
                                        "\nhistogramarchive=" + folder + "%S_%Y.csv\n" +
                                        "monitorenabled=1\nmonitordir=" + monitor + "\n");
    initSession();
    session.processSetSetting("sitename=ABCD");
    session.TEST_ssTimer().setKeys(NO_KEYS);
    // Each pass a later cycle.
    session.TEST_ssTimer().TEST_setClock([mode] { return time(nullptr) + 3600 * (3 - mode); });
    session.TEST_setLoopAgeSecs(11);
    session.sendNextRequest();
    const std::vector<std::string> copies = listDir(monitor);
    EXPECT_NE(std::find(copies.begin(), copies.end(), "ABCD.00000000.histogram.csv"), copies.end())
        << mode;
    EXPECT_EQ(readText(monitor + "/ABCD.00000000.histogram.csv").rfind("# Histogram & SOH\n", 0),
              0u);
    const std::vector<std::string> files = listDir(folder);
    ASSERT_EQ(files.size(), mode == HISTOGRAM_SELF ? 1u : 0u) << mode;
    if (files.empty()) continue;
    EXPECT_EQ(readText(folder + files[0]).rfind("# Histogram & SOH\n# Site=ABCD\n", 0), 0u);
    EXPECT_NE(logText().find("Write Histogram: [" + folder + files[0] + "]"), std::string::npos);
  }
}
