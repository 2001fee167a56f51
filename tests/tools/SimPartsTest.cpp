// The simulator's command line, control commands, card names and settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Card.h"
#include "Control.h"
#include "SimOptions.h"
#include "SimSettings.h"
#include "support/TestSupport.h"

namespace {

ParseResult parse(std::vector<std::string> args, SimOptions* options, std::string* error) {
  return parseSimOptions(args, options, error);
}

}  // namespace

TEST(SimOptionsTest, StationIdOutsideInstrumentRangeIsRejected) {
  struct Case {
    const char* id;
    bool accepted;
  } cases[] = {{"01000000", true},  {"03FFFFFF", true}, {"03ffffff", true}, {"00FFFFFF", false},
               {"04000000", false}, {"1x", false},      {"", false}};
  for (const Case& c : cases) {
    SimOptions options;
    std::string error;
    ParseResult r = parse({"--port", "5000", "--id", c.id}, &options, &error);
    EXPECT_EQ(r == ParseResult::RUN, c.accepted) << c.id << " " << error;
  }
}

TEST(SimOptionsTest, BadValuesAreRejectedWithTheOptionNamed) {
  const std::vector<std::vector<std::string>> bad = {
      {},  // neither --port nor --pty
      {"--port", "0"},
      {"--pty", "--station", "TOOLONG"},
      {"--pty", "--station", "ab"},
      {"--pty", "--channels", "HHZ,HN"},
      {"--pty", "--channels", "HHZ,HHN,HHE,HHO,HH1"},
      {"--pty", "--rate", "0"},
      {"--pty", "--speed", "0"},
      {"--pty", "--prefill", "60"},  // without --card
      {"--pty", "--script", "5 trigger 2"},
      {"--pty", "--script", "5:trigger 300"},
      {"--pty", "--count", "1000"},
      {"--pty", "--frobnicate"},
      {"--pty", "--port"},
  };
  for (const auto& args : bad) {
    SimOptions options;
    std::string error;
    EXPECT_EQ(parse(args, &options, &error), ParseResult::FAILED)
        << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(error.empty());
  }
  SimOptions options;
  std::string error;
  EXPECT_EQ(parse({"--pty", "--help"}, &options, &error), ParseResult::HELP);
}

TEST(SimOptionsTest, CountGivesConsecutiveIdsAndNumberedStations) {
  std::vector<InstrumentConfig> configs;
  // The configs of a command line that parses; false where they cannot be made.
  auto configsOf = [&configs](std::vector<std::string> args) {
    SimOptions options;
    std::string error;
    configs.clear();
    EXPECT_EQ(parse(args, &options, &error), ParseResult::RUN) << error;
    return instrumentConfigs(options, &configs, &error);
  };
  ASSERT_TRUE(configsOf({"--port", "5000", "--id", "01000010", "--station", "ABC", "--count", "3",
                         "--card", "/tmp/c"}));
  ASSERT_EQ(configs.size(), 3u);
  EXPECT_EQ(configs[0].station, "ABC");
  EXPECT_EQ(configs[1].station, "ABC01");
  EXPECT_EQ(configs[2].station, "ABC02");
  EXPECT_EQ(configs[2].stationId, 0x01000012u);
  EXPECT_EQ(configs[1].cardDir, "/tmp/c/ABC01");
  ASSERT_TRUE(configsOf({"--pty", "--count", "2", "--station-prefix", "LD"}));
  EXPECT_EQ(configs[0].station, "LD01");
  EXPECT_EQ(configs[1].station, "LD02");
  EXPECT_FALSE(configsOf({"--pty", "--id", "03FFFFFF", "--count", "2"}));   // 03FFFFFF, 04000000
  EXPECT_FALSE(configsOf({"--pty", "--station", "ABCD", "--count", "2"}));  // ABCD01: six
  // The default names fit every count the option allows.
  ASSERT_TRUE(configsOf({"--pty", "--count", "999"}));
  EXPECT_EQ(configs[0].station, "SIM");
  EXPECT_EQ(configs[1].station, "SI001");
  EXPECT_EQ(configs[998].station, "SI998");
}

TEST(ControlTest, CommandLinesAndScriptsParseAndMistakesAreNamed) {
  ControlCommand c;
  std::string error;
  ASSERT_TRUE(parseControlLine("trigger 2", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::TRIGGER);
  EXPECT_EQ(c.number, 2);
  ASSERT_TRUE(parseControlLine("  command Settings changed \r", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::COMMAND);
  EXPECT_EQ(c.text, "Settings changed");
  ASSERT_TRUE(parseControlLine("@SIM01 silence 40", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::SILENCE);
  EXPECT_EQ(c.target, "SIM01");
  EXPECT_EQ(c.number, 40);
  ASSERT_TRUE(parseControlLine("foreign 0400abcd", &c, &error));
  EXPECT_EQ(c.stationId, 0x0400abcdu);
  ASSERT_TRUE(parseControlLine("foreign", &c, &error));
  EXPECT_EQ(c.stationId, FOREIGN_STATION_ID);
  ASSERT_TRUE(parseControlLine("nack 0", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::NACK);
  EXPECT_EQ(c.number, 0);
  ASSERT_TRUE(parseControlLine("nack 255", &c, &error));
  EXPECT_EQ(c.number, 255);
  ASSERT_TRUE(parseControlLine("frame 90", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::FRAME);
  EXPECT_EQ(c.number, 0x90);  // hexadecimal, not 90
  ASSERT_TRUE(parseControlLine("frame fE", &c, &error));
  EXPECT_EQ(c.number, 0xFE);
  ASSERT_TRUE(parseControlLine("request SRC=ABC,/data/x.ms", &c, &error));
  EXPECT_EQ(c.kind, ControlCommand::REQUEST);
  EXPECT_EQ(c.text, "SRC=ABC,/data/x.ms");
  for (const char* line : {"badcheck", "disconnect", "quit", "garbage 200"}) {
    EXPECT_TRUE(parseControlLine(line, &c, &error)) << line;
  }
  EXPECT_FALSE(parseControlLine("# a comment", &c, &error));
  EXPECT_TRUE(error.empty());
  for (const char* line :
       {"trigger",   "trigger x", "garbage 0", "silence -1", "command",   "badcheck now", "@SIM",
        "dance",     "nack",      "nack 256",  "nack -1",    "nack 0x0a", "frame",        "frame 9",
        "frame 090", "frame zz",  "frame -1",  "frame 0x",   "frame +9",  "request"}) {
    EXPECT_FALSE(parseControlLine(line, &c, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  // Script entries keep their times and order.
  std::vector<ScriptEntry> entries;
  ASSERT_TRUE(
      parseScript("5:trigger 2;12:badcheck; 0.5:command Settings changed;", &entries, &error))
      << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_DOUBLE_EQ(entries[0].atSeconds, 5);
  EXPECT_EQ(entries[1].command.kind, ControlCommand::BADCHECK);
  EXPECT_DOUBLE_EQ(entries[2].atSeconds, 0.5);
  EXPECT_EQ(entries[2].command.text, "Settings changed");
  EXPECT_FALSE(parseScript("x:quit", &entries, &error));
  EXPECT_FALSE(parseScript("5:", &entries, &error));
}

TEST(ControlTest, ControlFileReturnsOnlyCompleteAppendedLines) {
  TempDir dir;
  std::string path = dir.file("sim.ctl");
  writeText(path, "quit\n");  // present before the start: skipped
  ControlFile file(path);
  std::string error;
  ASSERT_TRUE(file.open(&error)) << error;
  EXPECT_TRUE(file.poll().empty());
  writeText(path, "quit\ntrigger 1\ncommand shut");
  EXPECT_EQ(file.poll(), std::vector<std::string>{"trigger 1"});
  writeText(path, "quit\ntrigger 1\ncommand shutdown\n");
  EXPECT_EQ(file.poll(), std::vector<std::string>{"command shutdown"});
  writeText(path, "badcheck\n");  // shorter: replaced, read again from the start
  EXPECT_EQ(file.poll(), std::vector<std::string>{"badcheck"});
}

TEST(CardTest, PathsFollowTheInstrumentNamingAndStayOnTheCard) {
  // 2023-04-06 12:34:20 UTC
  EXPECT_EQ(Card::minutePath(1680784460, "ABCD"), "/data/2023/04/06/12/2023-04-06 1234 00 ABCD.ms");
  EXPECT_EQ(Card::histogramPath(1680784460), "/histogram/2023-04-06.csv");
  // Paths outside the card are refused.
  TempDir dir;
  Card card(dir.path() + "card");
  EXPECT_EQ(card.hostPath("/settings.ss"), dir.path() + "card/settings.ss");
  EXPECT_EQ(card.hostPath("settings.ss"), dir.path() + "card/settings.ss");
  for (const char* bad : {"", "/", "/../x", "..", "/data/../../x", "a\\b", "/data/"}) {
    EXPECT_EQ(card.hostPath(bad), "") << bad;
  }
  EXPECT_NE(card.hostPath("/data/a..b"), "");
  writeText(dir.path() + "secret", "x");
  std::vector<uint8_t> data;
  EXPECT_FALSE(card.readFile("/../secret", &data));
  EXPECT_FALSE(card.removeFile("/../secret"));
  EXPECT_TRUE(pathExists(dir.path() + "secret"));
}

TEST(SimSettingsTest, QueriesAreAnsweredFromFileOverDefaultsByQuotedOrBareKey) {
  TempDir dir;
  writeText(dir.file("s.ss"),
            "# comment\n\"sensor_name\"=\"ACME-1\"\nsitename=OTHER\nbuild_number=1234\n"
            "broken line\n\"v_supply\"=11.9\n");
  StreamIdentity id{"SIM", "XX", "00", {"HHZ", "HHN"}, 100, 4700, 0x01000001};
  SimSettings s(id, 1680784460);
  std::string error;
  ASSERT_TRUE(s.load(dir.file("s.ss"), false, &error)) << error;
  EXPECT_EQ(s.answer("sensor_name"), "\"sensor_name\"=\"ACME-1\"");
  EXPECT_EQ(s.answer("v_supply"), "\"v_supply\"=11.9");
  EXPECT_EQ(s.answer("sitename"), "\"sitename\"=\"SIM\"");  // the stream's identity wins
  EXPECT_EQ(s.answer("build_number"), "\"build_number\"=1234");
  EXPECT_EQ(s.answer("sampling_rate"), "\"sampling_rate\"=100");
  EXPECT_EQ(s.answer("channel_config"), "\"channel_config\"=\"HHZ,HHN\"");
  EXPECT_EQ(s.answer("no_such_key"), "nil");

  SimSettings forced(id, 1680784460);
  ASSERT_TRUE(forced.load(dir.file("s.ss"), true, &error));
  EXPECT_EQ(forced.answer("build_number"), "\"build_number\"=4700");  // --build given
  EXPECT_FALSE(s.load(dir.file("missing.ss"), false, &error));
  // The key of a query, quoted or bare.
  EXPECT_EQ(SimSettings::queryKey("? \"sitename\""), "sitename");
  EXPECT_EQ(SimSettings::queryKey("?sitename"), "sitename");
  EXPECT_EQ(SimSettings::queryKey("? \"last_peak 0\""), "last_peak 0");
  EXPECT_EQ(SimSettings::queryKey("sitename"), "");
  EXPECT_EQ(SimSettings::queryKey("? "), "");
}

TEST(SimSettingsTest, RenderedFileReadsBackToTheSameEntries) {
  StreamIdentity id{"SIM", "XX", "", {"HHZ"}, 50, 4000, 0x01000001};
  SimSettings a(id, 1680784460);
  a.set("custom", "a value=with equals");
  std::string text = a.render();
  StreamIdentity other{"OTH", "YY", "11", {"EHZ"}, 20, 1, 0x01000002};
  SimSettings b(other, 0);
  b.parse(text);
  for (const char* key : {"sitename", "location_id", "custom", "last_peak 0", "build_number"}) {
    EXPECT_EQ(a.answer(key), b.answer(key)) << key;
  }
}
