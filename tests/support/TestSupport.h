// Helpers shared by the tests: temporary folders, file reading, waiting with
// a bound, and a scoped BASE_DIR.
#ifndef VH_TESTS_SUPPORT_TESTSUPPORT_H_
#define VH_TESTS_SUPPORT_TESTSUPPORT_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A fresh folder under $TMPDIR (or /tmp), removed with all contents at the
// end of its life. path() ends in "/".
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  // path() + name
  std::string file(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Sets BASE_DIR (and the download/upload globals) for the life of the object.
class ScopedBaseDir {
 public:
  explicit ScopedBaseDir(const std::string& base);
  ~ScopedBaseDir();

 private:
  std::string oldBase_, oldDownload_, oldUpload_;
};

// Sets a global for the life of the object and puts the old value back.
template <typename T>
class ScopedValue {
 public:
  ScopedValue(T& variable, T value) : variable_(variable), old_(variable) { variable_ = value; }
  ~ScopedValue() { variable_ = old_; }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  T& variable_;
  T old_;
};

// Makes folder the working folder for the life of the object (paths the hub
// builds relative to "./" then land there), then goes back.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& folder);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string old_;
};

std::string readText(const std::string& path);  // empty when missing
void writeText(const std::string& path, const std::string& text);
bool pathExists(const std::string& path);
std::vector<std::string> listDir(const std::string& folder);  // sorted names, no "." entries

// Polls condition every 20 ms until it holds or the timeout passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();

// Path of a real-world record file in tests/data.
std::string testData(const std::string& name);
// The records of a file in tests/data, each TEST_RECORD_LENGTH bytes.
constexpr size_t TEST_RECORD_LENGTH = 512;
std::vector<std::string> testRecords(const std::string& name);
constexpr char JSC_RECORDS[] = "CO.JSC.00.HHZ.100sps.steim2.mseed";  // 14 records, big-endian
// Path of the FDSN StationXML 1.1 schema; it may be absent (no ../shared).
std::string stationXmlSchema();

#endif  // VH_TESTS_SUPPORT_TESTSUPPORT_H_
