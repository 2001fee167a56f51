// The StationXML document: channel values and sensitivity chain for the
// example settings, orientation, defaults, hostile instrument values, the
// files written and the conversion of a stored settings file. Every document
// a test produces is checked against the FDSN StationXML 1.1 schema with
// xmllint when the schema is there, and values are read back with xmllint's own XPath, a parser
// that is not ours.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

#include "metadata/SsFile.h"
#include "metadata/StationXml.h"
#include "support/TestSupport.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

const ChannelNames FULL_TABLE{"HHE", "HHN", "HHZ", "HHO", "", "", "SUM"};

// Runs a shell command; returns its exit status and puts its standard output
// (with withErrors also its standard error) in output.
int run(const std::string& command, std::string* output, bool withErrors) {
  FILE* pipe = popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  output->clear();
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class StationXmlTest : public ::testing::Test {
 protected:
  // The settings of the example: three sensor-A sensitivities of 2.0, sensor
  // B 0.5, all gains 1, cpv 1000000 and 500000 for the fourth channel.
  static void exampleSettings(SsFile& ss) {
    for (const char* line :
         {"sitename=AB123", "network_code=XY", "location_id=00", "custom_sensitivity_A_0=2.0",
          "custom_sensitivity_A_1=2.0", "custom_sensitivity_A_2=2.0", "custom_sensitivity_B=0.5",
          "gain_A_0=1", "gain_A_1=1", "gain_A_2=1", "gain_B_0=1", "cpv=1000000", "cpv_chO=500000",
          "sampling_rate=100", "unit=m/s", "time=2021-04-05 2345 56"}) {
      ASSERT_EQ(ss.set(line), 1) << line;
    }
  }

  // Writes doc to a file and validates it against the schema when the schema
  // is there (SchemaIsThere says when it is not).
  std::string validated(const std::string& doc) {
    std::string path = dir_.file("doc" + std::to_string(++docs_) + ".xml");
    writeText(path, doc);
    if (!pathExists(schema_)) return path;
    std::string output;
    int rc = run("xmllint --noout --schema '" + schema_ + "' '" + path + "'", &output, true);
    EXPECT_EQ(rc, 0) << output << "\n" << doc;
    EXPECT_NE(output.find("validates"), std::string::npos) << output;
    return path;
  }

  // An XPath string expression evaluated by xmllint on the file.
  static std::string xpath(const std::string& path, const std::string& expression) {
    std::string output;
    int rc = run("xmllint --xpath '" + expression + "' '" + path + "'", &output, false);
    if (!output.empty() && output.back() == '\n') output.pop_back();
    return rc == 0 ? output : "<xpath failed: " + output + ">";
  }

  // The text of one element of the channel with the given code.
  static std::string channelValue(const std::string& path, const std::string& code,
                                  const std::string& steps) {
    return xpath(path,
                 "string(//*[local-name()=\"Channel\"][@code=\"" + code + "\"]" + steps + ")");
  }

  static int countChannels(const std::string& doc) {
    std::regex re("<Channel code");
    return static_cast<int>(
        std::distance(std::sregex_iterator(doc.begin(), doc.end(), re), std::sregex_iterator()));
  }

  TempDir dir_;
  std::string schema_ = stationXmlSchema();
  int docs_ = 0;
};

const char SENSITIVITY[] =
    "/*[local-name()=\"Response\"]/*[local-name()=\"InstrumentSensitivity\"]"
    "/*[local-name()=\"Value\"]";

std::string stage(int number) {
  return "/*[local-name()=\"Response\"]/*[local-name()=\"Stage\"][@number=\"" +
         std::to_string(number) + "\"]/*[local-name()=\"StageGain\"]/*[local-name()=\"Value\"]";
}

// The other tests check their values whether or not the schema is there;
// only the schema validation needs it.
TEST_F(StationXmlTest, SchemaIsThere) {
  if (!pathExists(schema_))
    GTEST_SKIP() << "StationXML schema missing (" << schema_ << "): documents are not validated";
}

TEST_F(StationXmlTest, ExampleSettingsGiveListedSensitivitiesAndOrientations) {
  SsFile ss;
  exampleSettings(ss);
  std::string doc = StationXml::fill(ss, FULL_TABLE);
  std::string path = validated(doc);
  EXPECT_EQ(countChannels(doc), 5);
  for (const char* code : {"HHE", "HHN", "HHZ", "SUM"}) {
    EXPECT_EQ(channelValue(path, code, SENSITIVITY), "2000000.00") << code;
    EXPECT_EQ(channelValue(path, code, stage(1)), "1.000000") << code;
    EXPECT_EQ(channelValue(path, code, stage(2)), "1000000.000000") << code;
    EXPECT_EQ(channelValue(path, code, stage(3)), "2.000000") << code;
  }
  EXPECT_EQ(channelValue(path, "HHO", SENSITIVITY), "250000.00");
  EXPECT_EQ(channelValue(path, "HHO", stage(2)), "500000.000000");
  EXPECT_EQ(channelValue(path, "HHO", stage(3)), "0.500000");
  EXPECT_EQ(channelValue(path, "HHZ", "/*[local-name()=\"SampleRate\"]"), "100");
  EXPECT_EQ(channelValue(path, "HHZ", "/@locationCode"), "00");
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Network\"]/@code)"), "XY");
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Created\"])"), "2021-04-05T23:45:56");
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Module\"])"), "vorlanhub v127");
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"TotalNumberChannels\"])"), "5");
  // The orientation follows the last letter of the channel: channel, azimuth, dip.
  const char* const cases[][3] = {
      {"HHE", "90.0", "0.0"}, {"HHN", "0.0", "0.0"}, {"HHZ", "0.0", "90.0"}, {"SUM", "0.0", "0.0"}};
  for (const auto& c : cases) {
    EXPECT_EQ(channelValue(path, c[0], "/*[local-name()=\"Azimuth\"]"), c[1]) << c[0];
    EXPECT_EQ(channelValue(path, c[0], "/*[local-name()=\"Dip\"]"), c[2]) << c[0];
  }
}

TEST_F(StationXmlTest, MissingSensitivityOrOrientationLeavesChannelOut) {
  SsFile ss;
  exampleSettings(ss);
  ss.remove("custom_sensitivity_B");
  ss.set("custom_sensitivity_A_1=0");
  // Slot 4 ends in a letter of neither sensor: skipped.
  ChannelNames names{"HHE", "HHN", "HHZ", "HHO", "HHX", "", "SUM"};
  std::string doc = StationXml::fill(ss, names);
  std::string path = validated(doc);
  EXPECT_EQ(countChannels(doc), 3) << doc;  // HHE, HHZ, SUM
  EXPECT_EQ(channelValue(path, "HHN", "/@code"), "");
  EXPECT_EQ(channelValue(path, "HHO", "/@code"), "");
  // The sum averages every sensor-A slot, also the one without sensitivity.
  EXPECT_NEAR(std::stod(channelValue(path, "SUM", stage(3))), 4.0 / 3.0, 1e-6);
  // The sum needs a sensor-A channel.
  ss.set("custom_sensitivity_B=0.5");
  doc = StationXml::fill(ss, ChannelNames{"", "", "", "HHO", "", "", "SUM"});
  validated(doc);
  EXPECT_EQ(countChannels(doc), 1) << doc;
  EXPECT_EQ(doc.find("code = \"SUM\""), std::string::npos);
}

TEST_F(StationXmlTest, DefaultsForPositionSensorAndTime) {
  SsFile ss;
  exampleSettings(ss);
  ss.set("time=2021-04-05");  // malformed: taken as missing
  ss.set("lat=-1");
  ss.set("long=-1.5");
  time_t before = time(nullptr);
  std::string doc = StationXml::fill(ss, FULL_TABLE);
  time_t after = time(nullptr);
  std::string path = validated(doc);
  EXPECT_NE(doc.find("<Latitude>0.00000</Latitude>"), std::string::npos);
  EXPECT_NE(doc.find("<Longitude>-1.50000</Longitude>"), std::string::npos);
  EXPECT_NE(doc.find("<Elevation>0.0</Elevation>"), std::string::npos);
  EXPECT_EQ(channelValue(path, "HHZ", "/*[local-name()=\"Sensor\"]/*[local-name()=\"Type\"]"),
            "unknown");
  EXPECT_EQ(
      channelValue(path, "HHZ", "/*[local-name()=\"Sensor\"]/*[local-name()=\"SerialNumber\"]"),
      "unknown");
  // No settings time: the current UTC time in the same form.
  std::string created = xpath(path, "string(//*[local-name()=\"Created\"])");
  struct tm tm = {};
  ASSERT_NE(strptime(created.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr) << created;
  time_t t = timegm(&tm);
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
}

TEST_F(StationXmlTest, HostileInstrumentValuesAreEscaped) {
  SsFile ss;
  exampleSettings(ss);
  // setChars keeps quotes (the line parser would drop them).
  const std::string station = "A&<\"'>";
  const std::string sensor = "<Sensor>&amp; \"x\"";
  const std::string units = "m/s'\"<";  // 6 of the 7 characters units keep
  ss.setChars("sitename", station);
  ss.setChars("network_code", "X\"Y");
  ss.setChars("location_id", "<0");
  ss.setChars("sensor_name", sensor);
  ss.setChars("sensor_sn", "</SerialNumber>");
  ss.setChars("unit", units);
  ss.setChars("firmware_version", "1.0 ]]> <!-- &");
  ss.setChars("serial", "\x01\x7f\xc3");
  std::string doc = StationXml::fill(ss, FULL_TABLE);
  std::string path = validated(doc);
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Station\"]/@code)"), station);
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Network\"]/@code)"), "X\"Y");
  EXPECT_EQ(channelValue(path, "HHZ", "/@locationCode"), "<0");
  EXPECT_EQ(channelValue(path, "HHZ", "/*[local-name()=\"Sensor\"]/*[local-name()=\"Type\"]"),
            sensor);
  EXPECT_EQ(
      channelValue(path, "HHZ", "/*[local-name()=\"Sensor\"]/*[local-name()=\"SerialNumber\"]"),
      "</SerialNumber>");
  EXPECT_EQ(channelValue(path, "HHZ",
                         "/*[local-name()=\"Response\"]/*[local-name()=\"InstrumentSensitivity\"]"
                         "/*[local-name()=\"InputUnits\"]/*[local-name()=\"Name\"]"),
            units);
  // Control and non-ASCII bytes cannot reach the document.
  EXPECT_EQ(xpath(path, "string(//*[local-name()=\"Equipment\"]/*[local-name()=\"SerialNumber\"])"),
            "???");
}

TEST_F(StationXmlTest, OrdinaryValuesAreWrittenAsTheyAre) {
  SsFile ss;
  exampleSettings(ss);
  ss.set("sensor_name=Trillium 120 s-1");
  ss.set("firmware_version=2.4.1 (ro)");
  ss.set("lat=-33.86882");
  ss.set("alt=58.25");
  std::string doc = StationXml::fill(ss, FULL_TABLE);
  validated(doc);
  EXPECT_NE(doc.find("    <Station code = \"AB123\">\n      <Latitude>-33.86882</Latitude>\n"),
            std::string::npos);
  EXPECT_NE(doc.find("<Elevation>58.2</Elevation>"), std::string::npos);
  EXPECT_NE(doc.find("         firmware_version=2.4.1\n"), std::string::npos);
  EXPECT_NE(doc.find("         <Type>Trillium 120 s-1</Type>\n"), std::string::npos);
  const std::string end = "    </Station>\n  </Network>\n</FDSNStationXML>\n\n";
  ASSERT_GT(doc.size(), end.size());
  EXPECT_EQ(doc.substr(doc.size() - end.size()), end);
}

TEST_F(StationXmlTest, LongDocumentIsNeverCut) {
  SsFile ss;
  exampleSettings(ss);
  ss.setChars("sensor_name", std::string(39, '&'));
  ss.setChars("sensor_sn", std::string(21, '<'));
  ChannelNames names{"HHE", "HHN", "HHZ", "HHO", "HNE", "HNZ", "SUM"};
  std::string doc = StationXml::fill(ss, names);
  EXPECT_GT(doc.size(), 12000u);
  validated(doc);
  EXPECT_EQ(countChannels(doc), 7);
}

TEST_F(StationXmlTest, WriteReplacesFileWhole) {
  SsFile ss;
  exampleSettings(ss);
  std::string path = dir_.file("AB123.xml");
  writeText(path, "old");
  ASSERT_EQ(StationXml::write(path, ss, FULL_TABLE), 1);
  validated(readText(path));
  EXPECT_EQ(listDir(dir_.path()).size(), 2u);  // AB123.xml and the validated copy
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(StationXml::write("", ss, FULL_TABLE), 0);
  EXPECT_EQ(StationXml::write(dir_.file("missing/AB123.xml"), ss, FULL_TABLE), 0);
  EXPECT_FALSE(pathExists(dir_.file("missing")));
}

TEST_F(StationXmlTest, CopyConvertReadsStoredSettingsFile) {
  // A settings file as the instrument writes it, not by our writer.
  const std::string settings = dir_.file("settings.ss");
  writeText(settings,
            "\"format\"=\"vorlanmeta\"\n# comment\n\"sitename\"=\"QW7\"\n\"network_code\"=\"QQ\"\n"
            "\"custom_sensitivity_A_2\"=1.5\n\"gain_A_2\"=4\n\"cpv\"=1000000\n"
            "\"sensor_name\"=\"Tidal 3D (ro)\"\n\"sampling_rate\"=200\n");
  const std::string xml = dir_.file("QW7.xml");
  ASSERT_EQ(StationXml::copyConvert(settings, xml, ChannelNames{"", "", "EHZ", "", "", "", ""}), 1);
  validated(readText(xml));
  EXPECT_EQ(xpath(xml, "string(//*[local-name()=\"Station\"]/@code)"), "QW7");
  EXPECT_EQ(channelValue(xml, "EHZ", SENSITIVITY), "6000000.00");
  EXPECT_EQ(channelValue(xml, "EHZ", "/*[local-name()=\"Sensor\"]/*[local-name()=\"Type\"]"),
            "Tidal 3D");
}

class WriteStationXmlTest : public StationXmlTest {
 protected:
  TempDir base_;
  ScopedBaseDir scoped_{base_.path()};
  ScopedValue<int> mode_{MODE, MODE_DEFAULT};
};

TEST_F(WriteStationXmlTest, NothingWithoutStationNameAndCopyFollowsOverwriteFlag) {
  SsFile ss;
  ss.set("network_code=XY");
  ss.parse();
  EXPECT_EQ(writeStationXml(ss, FULL_TABLE, true, base_.file("copy")), 0);
  EXPECT_FALSE(pathExists(base_.file("response")));
  exampleSettings(ss);
  ss.parse();
  ASSERT_EQ(mkdirs(base_.file("copy"), true), 0);
  ASSERT_EQ(writeStationXml(ss, FULL_TABLE, true, base_.file("copy")), 1);
  const std::string primary = base_.path() + "/response/AB123.xml";
  validated(readText(primary));
  EXPECT_EQ(readText(base_.file("copy/AB123.xml")), readText(primary));

  // Overwrite off: the primary is rewritten, the copy left alone.
  writeText(base_.file("copy/AB123.xml"), "operator's own");
  ss.set("sampling_rate=250");
  ASSERT_EQ(writeStationXml(ss, FULL_TABLE, false, base_.file("copy")), 1);
  EXPECT_NE(readText(primary).find("<SampleRate>250</SampleRate>"), std::string::npos);
  EXPECT_EQ(readText(base_.file("copy/AB123.xml")), "operator's own");

  // No copy folder: only the primary.
  ASSERT_EQ(writeStationXml(ss, FULL_TABLE, true, base_.file("nowhere")), 1);
  EXPECT_FALSE(pathExists(base_.file("nowhere")));
}

}  // namespace
