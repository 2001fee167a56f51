#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "core/VhProps.h"
#include "support/TestSupport.h"
#include "util/ArchiveFormat.h"
#include "util/Console.h"
#include "util/Dirs.h"

namespace {

class VhPropsTest : public ::testing::Test {
 protected:
  void SetUp() override { oldMode_ = MODE; }
  void TearDown() override {
    MODE = oldMode_;
    DOPRINTF = false;
  }
  // Reads text (hand-made bytes) as the properties file in the given mode.
  void load(const std::string& text, int mode = MODE_DEFAULT) {
    MODE = mode;
    path_ = dir_.file("vorlanhub.props");
    writeText(path_, text);
    ASSERT_TRUE(props_.read(path_));
  }

  TempDir dir_;
  std::string path_;
  VhProps props_;
  int oldMode_ = 0;
};

TEST_F(VhPropsTest, SetTemplatesWinAndAreNormalised) {
  load("archive1=D:\\data\\%S\narchive2=second/%S\ntrigwavearchive1=one\n");
  EXPECT_EQ(props_.getArchiveTemplate(0), "D:/data/%S");
  EXPECT_EQ(props_.getArchiveTemplate(1), "second/%S");
  EXPECT_EQ(props_.getTrigArchiveTemplate(0), "one");
  load("trigwavearchive1=one\ntrigwavearchive=two\n");
  EXPECT_EQ(props_.getTrigArchiveTemplate(0), "two");  // trigwavearchive wins
  load("archive1=" + std::string(300, 'a') + "\n");
  EXPECT_EQ(props_.getArchiveTemplate(0).size(), PROP_PATH_MAX);
  // Indices outside the two archives give nothing.
  EXPECT_EQ(props_.getArchiveTemplate(2), "");
  EXPECT_EQ(props_.getTrigArchiveTemplate(-1), "");
  EXPECT_EQ(props_.getArchiveFormat(2), static_cast<int>(ArchiveFormat::MINISEED));
}

TEST_F(VhPropsTest, TransactionsDirByMode) {
  load("requestdir=incoming\n", MODE_TIDORA);
  EXPECT_EQ(props_.getTransactionsDir(), "%U/lumetrafiles/tidora/transactions/");
  MODE = MODE_WINSERVICE;
  EXPECT_EQ(props_.getTransactionsDir(), "%U/lumetrafiles/tidora/transactions/");
  MODE = MODE_PI;
  EXPECT_EQ(props_.getTransactionsDir(), "/mnt/ramdisk/transactions/");
  MODE = MODE_DEFAULT;
  EXPECT_EQ(props_.getTransactionsDir(), "incoming/");
  load("requestdir=in\\box/\n");
  EXPECT_EQ(props_.getTransactionsDir(), "in/box/");
  load("");
  EXPECT_EQ(props_.getTransactionsDir(), "transactions/");
  EXPECT_EQ(props_.get("requestdir", ""), "transactions/");
  // An empty value falls back to the default instead of the root "/".
  load("requestdir=\n");
  EXPECT_EQ(props_.getTransactionsDir(), "transactions/");
}

struct BackfillCase {
  const char* file;
  int mode;
  int build;
  bool expected;
};

TEST_F(VhPropsTest, BackfillTriggersTable) {
  const BackfillCase cases[] = {
      {"trigbackfill=0\n", MODE_DEFAULT, 5000, false},
      {"trigbackfill=1\ntrigchans=3\n", MODE_DEFAULT, 5000, true},
      {"trigbackfill=2\n", MODE_DEFAULT, 5000, false},  // only 1 is on
      {"trigchans=3\n", MODE_DEFAULT, 5000, false},
      {"", MODE_DEFAULT, 5000, true},
      {"trigbackfill=-5\ntrigchans=0\n", MODE_PI, 5000, true},
      {"trigbackfill=0\n", MODE_TIDORA, 4553, true},  // mode 1 looks at the build only
      {"trigbackfill=1\n", MODE_TIDORA, 4554, false},
      {"", MODE_WINSERVICE, 4000, true},
  };
  for (const BackfillCase& c : cases) {
    load(c.file, c.mode);
    EXPECT_EQ(props_.doBackfillTriggers(c.build), c.expected)
        << c.file << " mode " << c.mode << " build " << c.build;
  }
  load("", MODE_TIDORA);
  props_.doBackfillTriggers(1);
  EXPECT_EQ(props_.size(), 0u);  // no key read, none recorded
}

TEST_F(VhPropsTest, SwitchesAreOnOnlyAtExactlyOneAndDefaultsComeFromOtherKeys) {
  load("ziparchive=2\nsettings=1\nsettingcommands=0\nserialenabled=01\n");
  EXPECT_FALSE(props_.doZipArchive());
  EXPECT_TRUE(props_.doSettingFile());
  EXPECT_FALSE(props_.doSettingCommands());
  EXPECT_TRUE(props_.doSerial());  // "01" is the number 1
  load("");
  EXPECT_TRUE(props_.doZipArchive());
  EXPECT_FALSE(props_.doSettingFile());
  EXPECT_TRUE(props_.doSettingCommands());
  EXPECT_TRUE(props_.doSerial());
  load("sohwaitminutes=2\n");
  EXPECT_EQ(props_.getSOHWaitMillisecs(), 120000);
  // Defaults taken from other keys.
  load("port=1234\n");
  EXPECT_EQ(props_.getIntKey("portlow"), 1234);
  EXPECT_EQ(props_.getIntKey("porthigh"), 1234);
  load("portlow=10\n");
  EXPECT_EQ(props_.getIntKey("porthigh"), 10);
  EXPECT_EQ(props_.getIntKey("port"), 58772);
  load("port=\n");  // an empty value counts as missing all the way down
  EXPECT_EQ(props_.getIntKey("porthigh"), 58772);
  load("trigwaveenabled=0\n");
  EXPECT_EQ(props_.getIntKey("trigwaveenabled1"), 0);
  EXPECT_EQ(props_.get("trigwaveenabled1", ""), "0");
}

TEST_F(VhPropsTest, ArchiveFormatThroughTheFormatParser) {
  load("archive1format=XML\narchive2format=ms-xml\n");
  EXPECT_EQ(props_.getArchiveFormat(0), static_cast<int>(ArchiveFormat::XML));
  EXPECT_EQ(props_.getArchiveFormat(1), static_cast<int>(ArchiveFormat::MINISEED));
  load("archive1format=text\n");
  EXPECT_EQ(props_.getArchiveFormat(0), static_cast<int>(ArchiveFormat::MINISEED));
  EXPECT_EQ(props_.getArchiveFormat(1), static_cast<int>(ArchiveFormat::MINISEED));
  EXPECT_EQ(props_.get("archive2format", ""), "miniseed");
  std::string text = "MiniSEED";
  EXPECT_EQ(parseFormat(text), ArchiveFormat::MINISEED);
  EXPECT_EQ(text, "miniseed");  // lower-cased in place
}

TEST(VhPropsTableTest, RowsAreUniqueAndEachHasOneDefault) {
  std::set<std::string> seen;
  for (const VhPropKey& row : VhProps::keyTable()) {
    EXPECT_TRUE(seen.insert(row.name).second) << "twice: " << row.name;
    EXPECT_NE(row.def == nullptr, row.defaultKey == nullptr) << row.name;
    if (row.defaultKey != nullptr) {
      // A default taken from another key names an earlier row, so no lookup loops.
      EXPECT_TRUE(seen.count(row.defaultKey)) << row.name;
    }
  }
}

TEST_F(VhPropsTest, WrittenBackFileListsEveryTableKey) {
  for (int mode : {MODE_DEFAULT, MODE_TIDORA, MODE_PI, MODE_WINSERVICE}) {
    VhProps props;
    MODE = mode;
    std::string path = dir_.file("settings/written.props");
    props.read(path);  // missing: every key at its default
    for (const VhPropKey& row : VhProps::keyTable()) {
      if (row.type == PropType::INT || row.type == PropType::HEX)
        props.getIntKey(row.name);
      else
        props.getTextKey(row.name);
    }
    ASSERT_TRUE(props.write());
    PropertyFile back;
    ASSERT_TRUE(back.read(path));
    std::set<std::string> written;
    for (const std::string& key : back.getKeys()) written.insert(key);
    std::set<std::string> table;
    for (const VhPropKey& row : VhProps::keyTable())
      if (row.defaultKey != nullptr || *row.def != '\0') table.insert(row.name);
    EXPECT_EQ(written, table) << "mode " << mode;
    EXPECT_FALSE(back.hasKey("archive2"));
  }
}

TEST_F(VhPropsTest, AccessorsRecordOnlyTableKeys) {
  load("");
  DOPRINTF = true;
  testing::internal::CaptureStdout();
  props_.getArchiveTemplate(0);
  props_.getArchiveTemplate(1);
  props_.getTrigArchiveTemplate(0);
  props_.getTrigArchiveTemplate(1);
  props_.getTrigXmlTemplate();
  props_.getTransactionsDir();
  props_.getArchiveFormat(0);
  props_.getArchiveFormat(1);
  props_.doBackfillTriggers(5000);
  props_.doSettingFile();
  props_.doSettingCommands();
  props_.doZipArchive();
  props_.doSerial();
  props_.doVerbose();
  props_.getSOHWaitMillisecs();
  props_.getFilePartWait();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (const std::string& key : props_.getKeys())
    EXPECT_NE(VhProps::findKey(key.c_str()), nullptr) << key;
  EXPECT_EQ(props_.size(), 16u);  // archive2 and trigwavearchive2 stay out: empty
}

// The installed example lists every key of the table once, as "#key=default"
// after a one-line meaning, with the mode 0 default (empty where the default
// is another key's value) and each other mode's own default in the meaning.
TEST(VhPropsExampleTest, ExampleFileListsEveryKeyWithItsDefault) {
  std::istringstream in(readText(VH_SOURCE_DIR "/packaging/vorlanhub.properties.example"));
  std::map<std::string, std::pair<std::string, std::string>> listed;  // key: default, meaning
  std::string line, previous;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (line.size() > 1 && line[0] == '#' && line[1] != ' ' && eq != std::string::npos) {
      std::string key = line.substr(1, eq - 1);
      EXPECT_EQ(listed.count(key), 0u) << "listed twice: " << key;
      EXPECT_EQ(VhProps::findKey(key.c_str()) != nullptr, true) << "not a table key: " << key;
      EXPECT_EQ(previous.rfind("# ", 0), 0u) << "no meaning line above " << key;
      listed[key] = {line.substr(eq + 1), previous};
    }
    previous = line;
  }
  for (const VhPropKey& row : VhProps::keyTable()) {
    auto it = listed.find(row.name);
    if (it == listed.end()) {
      ADD_FAILURE() << "missing from the example: " << row.name;
      continue;
    }
    EXPECT_EQ(it->second.first, row.def != nullptr ? row.def : "") << row.name;
    if (row.defaultKey != nullptr) {
      EXPECT_NE(it->second.second.find(std::string("the value of ") + row.defaultKey),
                std::string::npos)
          << row.name;
    }
    for (const char* modeDefault : {row.defTidora, row.defPi, row.defService}) {
      if (modeDefault != nullptr && strcmp(modeDefault, row.def) != 0) {
        EXPECT_NE(it->second.second.find(modeDefault), std::string::npos) << row.name;
      }
    }
  }
}

}  // namespace
