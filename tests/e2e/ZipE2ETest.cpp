// Zipped minutes with the hub and a simulated instrument streaming faster
// than real time: finished minutes become STA minute .ms.zip files holding
// the minute, the settings copy and the StationXML; nothing accepted is lost
// (the records are read back with libmseed and compared with the
// instrument's own card).
#include <gtest/gtest.h>
#include <zip.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/HubRun.h"
#include "support/MseedRecords.h"

namespace {

using std::chrono::seconds;

constexpr char kStationId[] = "ZIPA.01000abc";

// The entries of a zip, read with libzip directly: name -> bytes.
std::vector<std::pair<std::string, std::string>> zipEntries(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> out;
  int error = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (za == nullptr) return out;
  for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
    zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
    std::string bytes;
    char buffer[4096];
    zip_int64_t n;
    while (f != nullptr && (n = zip_fread(f, buffer, sizeof(buffer))) > 0) bytes.append(buffer, n);
    if (f != nullptr) zip_fclose(f);
    out.emplace_back(zip_get_name(za, static_cast<zip_uint64_t>(i), 0), bytes);
  }
  zip_discard(za);
  return out;
}

// "CHA start" keys of the records in bytes; counts rejected records in *bad.
void addRecordKeys(const std::string& bytes, std::multiset<std::string>* keys, int* bad) {
  for (const RecordId& r : recordsIn(bytes, bad)) {
    keys->insert(r.channel + " " + std::to_string(r.start));
  }
}

hptime_t keyTime(const std::string& key) { return std::stoll(key.substr(key.find(' ') + 1)); }

TEST(ZipE2ETest, FinishedMinutesBecomeZipsAndNoRecordIsLost) {
  HubRun hub;
  ASSERT_TRUE(hub.start());
  const std::string card = hub.dir() + "card";
  auto sim = hub.simulator({"--station", "ZIPA", "--id", "01000abc", "--speed", "10", "--duration",
                            "30", "--reconnect", "0", "--card", card});
  ASSERT_TRUE(sim->start());
  ASSERT_TRUE(sim->wait(seconds(60)));
  // Minutes finished shortly before the link ended are zipped during the stop.
  ASSERT_TRUE(hub.stopBySignal(SIGTERM, seconds(60))) << hub.process().output();

  const std::string archive = hub.dir() + "archive/ZIPA";
  std::vector<std::string> zips = filesBelow(archive, ".ms.zip");
  ASSERT_GE(zips.size(), 3u) << hub.allLogs();
  std::multiset<std::string> stored;
  int bad = 0;
  for (const std::string& zip : zips) {
    const std::string minuteName = zip.substr(zip.rfind('/') + 1);
    const std::string minute = minuteName.substr(0, minuteName.size() - 4);
    // The plain minute file went once its zip was in place.
    EXPECT_FALSE(pathExists(zip.substr(0, zip.size() - 4))) << zip;
    auto entries = zipEntries(zip);
    ASSERT_GE(entries.size(), 1u) << zip;
    EXPECT_EQ(entries[0].first, minute);
    std::set<std::string> names;
    for (const auto& e : entries) names.insert(e.first);
    EXPECT_EQ(names.size(), entries.size()) << "duplicate entry in " << zip;
    EXPECT_TRUE(names.count(std::string(kStationId) + ".ss")) << zip;
    EXPECT_TRUE(names.count(std::string(kStationId) + ".station.xml")) << zip;
    for (const auto& e : entries) {
      if (e.first == minute) addRecordKeys(e.second, &stored, &bad);
      if (e.first == std::string(kStationId) + ".station.xml") {
        EXPECT_NE(e.second.find("<Station code = \"ZIPA\">"), std::string::npos) << e.second;
      }
    }
  }
  for (const std::string& plain : filesBelow(archive, ".ms"))
    addRecordKeys(readText(plain), &stored, &bad);
  EXPECT_EQ(bad, 0);
  // No half-placed zip and no scratch folder is left behind.
  EXPECT_TRUE(filesBelow(archive, ".part").empty());

  // Every record the instrument made up to the last one stored is there, once.
  std::multiset<std::string> made;
  int badCard = 0;
  for (const std::string& f : filesBelow(card + "/data", ".ms"))
    addRecordKeys(readText(f), &made, &badCard);
  ASSERT_FALSE(stored.empty());
  hptime_t lastStored = 0;
  for (const std::string& k : stored) lastStored = std::max(lastStored, keyTime(k));
  for (const std::string& k : made) {
    if (keyTime(k) <= lastStored) {
      EXPECT_EQ(stored.count(k), 1u) << "record " << k;
    }
  }
  for (const std::string& k : stored) EXPECT_EQ(made.count(k), 1u) << "unknown record " << k;
  EXPECT_EQ(hub.allLogs().find("minute file kept"), std::string::npos) << hub.allLogs();
}

}  // namespace
