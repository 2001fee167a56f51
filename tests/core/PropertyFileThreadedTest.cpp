#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/PropertyFile.h"
#include "support/TestSupport.h"

namespace {

constexpr int KEYS = 40;
constexpr int REREADS = 300;
constexpr int READERS = 4;

std::string fileOf(const std::string& value) {
  std::string text;
  for (int i = 0; i < KEYS; ++i) text += "k" + std::to_string(i) + "=" + value + "\n";
  return text;
}

// Returns the distinct values of the k* entries in one print() of props.
std::vector<std::string> valuesSeen(const PropertyFile& props) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* stream = open_memstream(&buffer, &length);
  props.print(stream);
  fclose(stream);
  std::vector<std::string> values;
  std::string text(buffer, length);
  free(buffer);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line[0] != 'k') continue;
    std::string value = line.substr(line.find('=') + 1);
    if (values.empty() || values.back() != value) values.push_back(value);
  }
  return values;
}

// The owner rereads while other threads look up keys and record defaults:
// every view is wholly the old or wholly the new file.
TEST(PropertyFileThreadedTest, RereadWhileReadingShowsOldOrNewNeverAMix) {
  TempDir dir;
  std::string a = dir.file("a.props"), b = dir.file("b.props");
  writeText(a, fileOf("A"));
  writeText(b, fileOf("B"));
  PropertyFile props;
  ASSERT_TRUE(props.read(a));

  std::atomic<bool> done{false};
  std::atomic<int> mixtures{0};
  std::atomic<int> badValues{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < READERS; ++r) {
    readers.emplace_back([&, r] {
      pthread_setname_np(pthread_self(), ("props-rd-" + std::to_string(r)).c_str());
      while (!done.load(std::memory_order_acquire)) {
        std::vector<std::string> seen = valuesSeen(props);
        if (seen.size() != 1) mixtures.fetch_add(1);
        std::string v = props.get("k7", "");
        if (v != "A" && v != "B") badValues.fetch_add(1);
        props.getInt("recorded" + std::to_string(r), r);
        props.getHex("hex", 1);
      }
    });
  }
  for (int i = 0; i < REREADS; ++i) ASSERT_TRUE(props.read(i % 2 ? a : b));
  done.store(true, std::memory_order_release);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(mixtures.load(), 0);
  EXPECT_EQ(badValues.load(), 0);
}

}  // namespace
