#include <gtest/gtest.h>

#include <string>

#include "metadata/SsFile.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"

namespace {

// Sets the run mode and the Lumetra files folder for one test.
class ScopedMode {
 public:
  ScopedMode(int mode, const std::string& lumetra) : oldMode_(MODE), oldLumetra_(LUMETRAFILES) {
    MODE = mode;
    LUMETRAFILES = lumetra;
  }
  ~ScopedMode() {
    MODE = oldMode_;
    LUMETRAFILES = oldLumetra_;
  }

 private:
  int oldMode_;
  std::string oldLumetra_;
};

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
  s.set("build_number=abc");
  EXPECT_EQ(parsed(s).getBuildNo(), -1);
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

TEST(SsFileTest, GainIndexGivesGainAUnlessGainA0IsSet) {
  SsFile s;
  s.set("gain=3");
  EXPECT_FLOAT_EQ(parsed(s).getGainA(), 8.0f);
  s.set("gain=6");
  EXPECT_FLOAT_EQ(parsed(s).getGainA(), 64.0f);
  s.set("gain=7");
  EXPECT_FLOAT_EQ(parsed(s).getGainA(), 1.0f);
  s.set("gain=-1");
  EXPECT_FLOAT_EQ(parsed(s).getGainA(), 1.0f);
  s.set("gain=2");
  s.set("gain_A_0=2.5");
  s.set("gain_B_0=0.5");
  EXPECT_FLOAT_EQ(parsed(s).getGainA(), 2.5f);
  EXPECT_FLOAT_EQ(s.getGainB(), 0.5f);
}

TEST(SsFileTest, MultiplierIsReciprocalOfGainCpvSensitivity) {
  SsFile s;
  EXPECT_NEAR(parsed(s).getMultiplier(), 1.1920929e-06, 1e-12);
  s.set("gain_A_0=2");
  s.set("cpv=500000");
  s.set("custom_sensitivity_A_0=0.5");
  EXPECT_NEAR(parsed(s).getMultiplier(), 2e-6, 1e-12);
  s.set("custom_sensitivity_A_0=0");
  EXPECT_FLOAT_EQ(parsed(s).getMultiplier(), 1.0f);
  s.set("custom_sensitivity_A_0=-3");
  EXPECT_FLOAT_EQ(parsed(s).getMultiplier(), 1.0f);
}

TEST(SsFileTest, SensitivityChainTakesTheLastKeyPresent) {
  SsFile s;
  s.set("sens=3");
  EXPECT_FLOAT_EQ(parsed(s).getSensA(), 3.0f);
  EXPECT_FLOAT_EQ(s.getSensB(), 3.0f);  // B defaults to A
  s.set("custom_sensitivity=4");
  EXPECT_FLOAT_EQ(parsed(s).getSensA(), 4.0f);
  s.set("custom_sensitivity_A_0=5");
  s.set("custom_sensitivity_B=6");
  EXPECT_FLOAT_EQ(parsed(s).getSensA(), 5.0f);
  EXPECT_FLOAT_EQ(s.getSensB(), 6.0f);
  s.set("custom_sensitivity_A_0=none");  // not a number: the value found so far
  EXPECT_FLOAT_EQ(parsed(s).getSensA(), 4.0f);
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
  EXPECT_EQ(s.getChars("sitename"), "ABCD");
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

TEST(SsFileTest, SerialTextReadsAsHexadecimal) {
  SsFile s;
  s.set("serial=0012abXY");
  EXPECT_EQ(parsed(s).getSerialNoInt(), 0x12abu);
  s.set("serial=zz");
  EXPECT_EQ(parsed(s).getSerialNoInt(), 0u);
  s.set("serial=FFFFFFFFFF");
  EXPECT_EQ(parsed(s).getSerialNoInt(), 0xffffffffu);
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

TEST(SsFileTest, StateOfHealthValues) {
  SsFile s;
  for (const char* line :
       {"v_supply=12.5", "temperature=-3.5", "sats=9", "long=174.75", "lat=-41.25", "alt=120",
        "card_free_pc=88.5", "sampling_rate=100", "log_level=2"}) {
    ASSERT_EQ(s.set(line), 1) << line;
  }
  s.parse();
  EXPECT_FLOAT_EQ(s.getVoltage(), 12.5f);
  EXPECT_FLOAT_EQ(s.getTemperature(), -3.5f);
  EXPECT_EQ(s.getSats(), 9);
  EXPECT_FLOAT_EQ(s.getLongitude(), 174.75f);
  EXPECT_FLOAT_EQ(s.getLatitude(), -41.25f);
  EXPECT_FLOAT_EQ(s.getAltitude(), 120.0f);
  EXPECT_FLOAT_EQ(s.getPercentFree(), 88.5f);
  EXPECT_EQ(s.getSampleRate(), 100);
  EXPECT_EQ(s.getLogLevel(), 2);
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
  s.set("last_peak 1=nil");
  s.parse();
  EXPECT_FLOAT_EQ(s.getPeak(1), 0.0f);
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
  {
    ScopedMode mode(MODE_DEFAULT, "/home/u/lumetrafiles");
    EXPECT_EQ(s.getResponsePath(), dir.path() + "/response/AB12.xml");
  }
  {
    ScopedMode mode(MODE_PI, "/home/u/lumetrafiles");
    EXPECT_EQ(s.getResponsePath(), "/mnt/ramdisk//response/AB12.xml");
  }
  for (int m : {MODE_TIDORA, MODE_WINSERVICE}) {
    ScopedMode mode(m, "/home/u/lumetrafiles");
    EXPECT_EQ(s.getResponsePath(), "/home/u/lumetrafiles/response/AB12.xml");
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

TEST_F(SsFileFilesTest, FreshFileWritesFormatAndDataloggerOnly) {
  SsFile s;
  ASSERT_EQ(s.write(dir.file("fresh.ss")), 1);
  std::string text = readText(dir.file("fresh.ss"));
  ASSERT_EQ(text.rfind("\"format\"=\"vorlanmeta\"\n\n# ", 0), 0u) << text;
  size_t body = text.rfind("\n\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(text.substr(body + 2), "\"datalogger\"=\"Dremo\"\n");
  EXPECT_EQ(countLines(text), 6);  // format, blank, two comments, blank, datalogger
}

TEST_F(SsFileFilesTest, SerialIsAlwaysWrittenQuoted) {
  SsFile s;
  s.set("serial=12345678");
  s.set("cpv=1000");
  ASSERT_EQ(s.write(dir.file("s.ss")), 1);
  std::string text = readText(dir.file("s.ss"));
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
