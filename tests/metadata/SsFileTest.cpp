#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "metadata/SsFile.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"

namespace {

int countLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

SsFile& parsed(SsFile& s) {
  s.parse();
  return s;
}

}  // namespace

// The query timer walks the table up to its empty end mark.
TEST(SsFileTest, KeyTableEndsAfterItsLastKeyOnly) {
  for (int i = 0; i < SS_NUM_KEYS; ++i) EXPECT_NE(SsFile::SS_KEYS[i][0], '\0') << i;
  EXPECT_STREQ(SsFile::SS_KEYS[SS_NUM_KEYS], "");
}

TEST(SsFileTest, SetRefusesLinesOver79AndNilRemovesTheKey) {
  SsFile s;
  std::string line79 = "k=" + std::string(77, 'v');
  EXPECT_EQ(s.set(line79 + "v"), 0);
  EXPECT_FALSE(s.hasKey("k"));
  EXPECT_EQ(s.set(line79), 1);
  EXPECT_TRUE(s.hasKey("k"));
  EXPECT_EQ(s.set("\"sitename\"=\"ABCDE\""), 1);
  EXPECT_EQ(s.set("sitename=nil"), 1);
  EXPECT_FALSE(s.hasKey("sitename"));
  EXPECT_EQ(s.set("no equals sign"), 0);
  // set() alone does not parse.
  s.set("build_number=4559");
  EXPECT_EQ(s.getBuildNo(), -1);
  EXPECT_EQ(parsed(s).getBuildNo(), 4559);
}

TEST(SsFileTest, ChangeIsReportedOnEverySecondCallOnly) {
  SsFile s;  // storing "format" counts as a change
  EXPECT_FALSE(s.isChanged());
  EXPECT_TRUE(s.isChanged());
  s.setChanged(false);
  EXPECT_FALSE(s.isChanged());
  EXPECT_FALSE(s.isChanged());  // reported, but nothing changed
  s.set("sitename=AB12");
  EXPECT_FALSE(s.isChanged());  // the call in between
  EXPECT_TRUE(s.isChanged());
  EXPECT_FALSE(s.isChanged());
  EXPECT_TRUE(s.isChanged());  // the flag is not cleared by the call
}

// Settings lines -> a parsed value: the gain index and its override, the
// multiplier 1 / (gain x cpv x sensitivity), the sensitivity chain (the last
// key present wins, B defaults to A) and the state-of-health keys.
TEST(SsFileTest, ParsedValuesFollowTheirKeys) {
  using Get = std::function<double(SsFile&)>;
  const Get gainA = [](SsFile& s) { return s.getGainA(); };
  const Get sensA = [](SsFile& s) { return s.getSensA(); };
  const Get sensB = [](SsFile& s) { return s.getSensB(); };
  const Get multiplier = [](SsFile& s) { return s.getMultiplier(); };
  const std::vector<const char*> chain = {"sens=3", "custom_sensitivity=4",
                                          "custom_sensitivity_A_0=5", "custom_sensitivity_B=6"};
  struct Case {
    std::vector<const char*> lines;
    Get get;
    double expected;
  } cases[] = {
      {{"gain=3"}, gainA, 8},
      {{"gain=6"}, gainA, 64},
      {{"gain=7"}, gainA, 1},
      {{"gain=-1"}, gainA, 1},
      {{"gain=2", "gain_A_0=2.5"}, gainA, 2.5},
      {{"gain_B_0=0.5"}, [](SsFile& s) { return s.getGainB(); }, 0.5},
      {{}, multiplier, 1.1920929e-06},
      {{"gain_A_0=2", "cpv=500000", "custom_sensitivity_A_0=0.5"}, multiplier, 2e-6},
      {{"custom_sensitivity_A_0=0"}, multiplier, 1},
      {{"custom_sensitivity_A_0=-3"}, multiplier, 1},
      {{"sens=3"}, sensA, 3},
      {{"sens=3"}, sensB, 3},
      {{"sens=3", "custom_sensitivity=4"}, sensA, 4},
      {chain, sensA, 5},
      {chain, sensB, 6},
      {{"custom_sensitivity=4", "custom_sensitivity_A_0=none"}, sensA, 4},  // not a number
      {{"build_number=abc"}, [](SsFile& s) { return s.getBuildNo(); }, -1},
      {{"v_supply=12.5"}, [](SsFile& s) { return s.getVoltage(); }, 12.5},
      {{"temperature=-3.5"}, [](SsFile& s) { return s.getTemperature(); }, -3.5},
      {{"sats=9"}, [](SsFile& s) { return s.getSats(); }, 9},
      {{"long=174.75"}, [](SsFile& s) { return s.getLongitude(); }, 174.75},
      {{"lat=-41.25"}, [](SsFile& s) { return s.getLatitude(); }, -41.25},
      {{"alt=120"}, [](SsFile& s) { return s.getAltitude(); }, 120},
      {{"card_free_pc=88.5"}, [](SsFile& s) { return s.getPercentFree(); }, 88.5},
      {{"log_level=2"}, [](SsFile& s) { return s.getLogLevel(); }, 2},
  };
  for (const Case& c : cases) {
    SsFile s;
    for (const char* line : c.lines) ASSERT_EQ(s.set(line), 1) << line;
    EXPECT_FLOAT_EQ(static_cast<float>(c.get(parsed(s))), static_cast<float>(c.expected))
        << ::testing::PrintToString(c.lines);
  }
  for (auto [line, serial] : {std::pair<const char*, uint32_t>{"serial=0012abXY", 0x12ab},
                              {"serial=zz", 0},
                              {"serial=FFFFFFFFFF", 0xffffffff}}) {
    SsFile s;
    s.set(line);
    EXPECT_EQ(parsed(s).getSerialNoInt(), serial) << line;
  }
}

TEST(SsFileTest, TextFieldsDropReadOnlyMarkAndKeepTheirWidth) {
  SsFile s;
  s.set("sitename=ABCD (ro)");
  s.set("network_code=AU (ro)");
  s.set("location_id=00");
  s.set("unit=m/s (ro)");
  s.set("unit_B=m/s/s/long");
  s.set("serial=0123456789abcdef0123456789");
  s.parse();
  EXPECT_EQ(s.getStation(), "ABCD");
  EXPECT_EQ(s.getNetwork(), "AU");
  EXPECT_EQ(s.getLocation(), "00");
  EXPECT_EQ(s.getUnitsA(), "m/s");
  EXPECT_EQ(s.getUnitsB(), "m/s/s/l");
  EXPECT_EQ(s.getSerialNo(), "0123456789abcdef012");
  char buf[64];
  ASSERT_EQ(s.getChars("sitename", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "ABCD");
  // Texts shorter than 6 characters are never cut.
  s.set("custom_name=(ro)");
  EXPECT_EQ(s.getChars("custom_name"), "(ro)");
  s.set("custom_name=A (ro)");
  EXPECT_EQ(s.getChars("custom_name"), "A");
  // The base lookup keeps the whole value.
  std::string whole;
  s.getStr("sitename", whole);
  EXPECT_EQ(whole, "ABCD (ro)");
}

TEST(SsFileTest, HistogramTimeOnlyFromThe18CharacterSettingsTime) {
  SsFile s;
  s.set("time=2021-04-05 2345 56");
  EXPECT_EQ(parsed(s).getHistogramTime(), "2021-04-05 23:45:56");
  s.set("time=2021-04-05 2345 5");
  EXPECT_EQ(parsed(s).getHistogramTime(), "");
  s.set("time=2021-04-05 2345 567");
  EXPECT_EQ(parsed(s).getHistogramTime(), "");
}

TEST(SsFileTest, LastPeaksNeedValueUnitsAndTime) {
  SsFile s;
  s.set("\"last_peak 0\"=\"0.0012 m/s 2024-03-01 12:34:56\"");
  s.set("last_peak 1=0.5 counts_long 2024-03-01 1234 56");
  s.parse();
  EXPECT_FLOAT_EQ(s.getPeak(0), 0.0012f);
  EXPECT_EQ(s.getPeakUnits(0), "m/s");
  EXPECT_EQ(s.getPeakTime(0), 1709296496u);
  EXPECT_FLOAT_EQ(s.getPeak(1), 0.5f);
  EXPECT_EQ(s.getPeakUnits(1), "counts_");
  EXPECT_EQ(s.getPeakTime(1), 1709296496u);
  EXPECT_EQ(s.getPeakUnits(2), "");  // no such peak
  s.set("last_peak 0=0.0012 m/s");   // two words only
  s.parse();
  EXPECT_FLOAT_EQ(s.getPeak(0), 0.0f);
  EXPECT_EQ(s.getPeakUnits(0), "");
  EXPECT_EQ(s.getPeakTime(0), 0u);
}

TEST(SsFileTest, FourthChannelAndChannelCounts) {
  SsFile s;
  s.set("location_B_0=01");
  EXPECT_TRUE(s.hasCh4());  // no "ch4_active": the entry decides
  s.set("ch4_active=0");
  EXPECT_FALSE(s.hasCh4());
  s.set("ch4_active=yes");  // not a number
  EXPECT_TRUE(s.hasCh4());
  s.remove("location_B_0");
  EXPECT_FALSE(s.hasCh4());

  for (const char* line :
       {"storing_chan[0]=1", "storing_chan[1]=1", "storing_chan[2]=0", "storing_chan[3]=1",
        "storing_vsum=1", "tele_chan[0]=1", "tele_chan[2]=1", "tele_chan[3]=1"}) {
    s.set(line);
  }
  s.set("ch4_active=0");
  EXPECT_EQ(s.numStoringChans(), 3);  // [3] is not counted without a fourth channel
  EXPECT_EQ(s.numTeleChans(), 2);
  s.set("ch4_active=1");
  EXPECT_EQ(s.numStoringChans(), 4);
  EXPECT_EQ(s.numTeleChans(), 3);
  s.set("tele_vsum=1");
  EXPECT_EQ(s.numTeleChans(), 4);
  SsFile none;
  EXPECT_EQ(none.numStoringChans(), 0);
}

TEST(SsFileTest, ResponsePathFollowsRunMode) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  SsFile s;
  s.set("sitename=AB12");
  s.parse();
  ScopedValue<std::string> lumetra(LUMETRAFILES, "/home/u/lumetrafiles");
  const std::pair<int, std::string> modes[] = {
      {MODE_DEFAULT, dir.path() + "/response/AB12.xml"},
      {MODE_PI, "/mnt/ramdisk//response/AB12.xml"},
      {MODE_TIDORA, "/home/u/lumetrafiles/response/AB12.xml"},
      {MODE_WINSERVICE, "/home/u/lumetrafiles/response/AB12.xml"}};
  for (const auto& [m, path] : modes) {
    ScopedValue<int> mode(MODE, m);
    EXPECT_EQ(s.getResponsePath(), path) << m;
  }
  s.set("sitename=../../a");  // from the instrument: stays one file of the folder
  s.parse();
  EXPECT_EQ(s.getResponsePath(), dir.path() + "/response/_._.._a.xml");
}

class SsFileFilesTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedBaseDir base{dir.path()};
};

TEST_F(SsFileFilesTest, FreshFileWritesFormatAndDataloggerOnlyAndSerialQuoted) {
  SsFile s;
  ASSERT_EQ(s.write(dir.file("fresh.ss")), 1);
  std::string text = readText(dir.file("fresh.ss"));
  ASSERT_EQ(text.rfind("\"format\"=\"vorlanmeta\"\n\n# ", 0), 0u) << text;
  size_t body = text.rfind("\n\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(text.substr(body + 2), "\"datalogger\"=\"Dremo\"\n");
  EXPECT_EQ(countLines(text), 6);  // format, blank, two comments, blank, datalogger
  // The serial is always written quoted.
  s.set("serial=12345678");
  s.set("cpv=1000");
  ASSERT_EQ(s.write(dir.file("s.ss")), 1);
  text = readText(dir.file("s.ss"));
  EXPECT_NE(text.find("\"serial\"=\"12345678\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"cpv\"=1000\n"), std::string::npos);
}

TEST_F(SsFileFilesTest, WriteDownloadNeedsAStationInTheFolderName) {
  SsFile s;
  s.set("sitename=AB12");
  EXPECT_EQ(s.writeDownload(".01000001", nullptr), 0);  // 9 characters: no station
  EXPECT_FALSE(pathExists(DOWNLOAD_DIR + ".01000001"));
  ASSERT_EQ(s.writeDownload("A.01000001", nullptr), 1);
  std::string path = DOWNLOAD_DIR + "A.01000001/settings.ss";
  SsFile back;
  ASSERT_EQ(back.read(path), 1);
  EXPECT_EQ(back.getStation(), "AB12");  // read() parses
}

TEST_F(SsFileFilesTest, ReadOfAnInstrumentFileAndFailedReadKeepsValues) {
  // As an instrument writes its file: no format line, CR LF, comments, ro marks.
  std::string path = dir.file("instrument.ss");
  writeText(path,
            "# Dremo settings\r\n\"sitename\"=\"RB7F2 (ro)\"\r\n\"network_code\"=\"AM\"\r\n"
            "\"build_number\"=4710\r\n\"sampling_rate\"=100\r\n\"gain\"=1\r\n\"cpv\"=838860.8\r\n"
            "\"custom_sensitivity_A_0\"=0.5\r\n\"serial\"=\"00a1b2c3\"\r\n");
  SsFile s;
  ASSERT_EQ(s.read(path), 1);
  EXPECT_EQ(s.getStation(), "RB7F2");
  EXPECT_EQ(s.getNetwork(), "AM");
  EXPECT_EQ(s.getBuildNo(), 4710);
  EXPECT_EQ(s.getSampleRate(), 100);
  EXPECT_FLOAT_EQ(s.getGainA(), 2.0f);
  EXPECT_EQ(s.getSerialNoInt(), 0xa1b2c3u);
  EXPECT_NEAR(s.getMultiplier(), 1.0 / (2.0 * 838860.8 * 0.5), 1e-12);
  s.set("build_number=4800");
  EXPECT_EQ(s.read(dir.file("missing.ss")), 0);
  EXPECT_EQ(s.getBuildNo(), 4710);  // typed values untouched
  EXPECT_EQ(s.getChars("format"), "vorlanmeta");
}
