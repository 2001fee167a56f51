// A session bound to an in-memory link, and the instrument's side of the
// frames: frames the test sends are built byte by byte (FrameBytes.h), and
// frames the hub wrote are split and checked without the hub's reader.
#ifndef VH_TESTS_SESSION_SESSIONTESTSUPPORT_H_
#define VH_TESTS_SESSION_SESSIONTESTSUPPORT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/MinuteZip.h"
#include "core/Log.h"
#include "core/VhProps.h"
#include "protocol/FrameBytes.h"
#include "protocol/MemoryIO.h"
#include "protocol/SelvomaPacket.h"
#include "session/SeisServerState.h"
#include "support/TestSupport.h"
#include "util/FileUtil.h"

constexpr uint32_t STATION = 0x01000001;

// Splits the hub's output into frames; a frame with a wrong check word or a
// cut tail fails the test.
inline std::vector<SelvomaPacket> splitFrames(const std::string& bytes) {
  std::vector<SelvomaPacket> frames;
  size_t at = 0;
  while (at < bytes.size()) {
    EXPECT_GE(bytes.size() - at, SELVOMA_OVERHEAD);
    if (bytes.size() - at < SELVOMA_OVERHEAD) break;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    SelvomaPacket p;
    int len = p.headerFromBytes(b);
    EXPECT_LE(at + SELVOMA_OVERHEAD + len, bytes.size());
    if (at + SELVOMA_OVERHEAD + len > bytes.size()) break;
    if (len > 0) {
      p.newPayload(len);
      memcpy(p.payload(), b + SELVOMA_HEADER_LENGTH, static_cast<size_t>(len));
    }
    std::string whole(bytes, at, SELVOMA_HEADER_LENGTH + len);
    uint32_t check = 0;
    for (int i = 0; i < 4; ++i) check |= uint32_t{b[SELVOMA_HEADER_LENGTH + len + i]} << (8 * i);
    EXPECT_EQ(check, columnCheckWord(whole)) << "frame at " << at;
    frames.push_back(p);
    at += SELVOMA_OVERHEAD + len;
  }
  return frames;
}

inline std::string textOf(const SelvomaPacket& p) {
  return p.payloadLen() == 0 ? ""
                             : std::string(reinterpret_cast<const char*>(p.payload()),
                                           static_cast<size_t>(p.payloadLen()));
}

// The 512-byte records of a real miniSEED file (CO.JSC.00.HHZ, 100 sps).
inline std::vector<std::string> realRecords() { return testRecords(JSC_RECORDS); }

// Properties with a short loop time-out; padded past the write-back size so
// the file stays as written.
inline std::string sessionProps(int timeoutSecs = 3) {
  std::string text =
      "timeout=" + std::to_string(timeoutSecs) + "\nverbose=0\nsettingcommands=0\nsourceid=1\n";
  text += "# " + std::string(220, '-') + "\n";
  return text;
}

class SessionFixture : public ::testing::Test {
 protected:
  // The default archive and transactions folders are relative: the test
  // works inside its temporary folder.
  explicit SessionFixture(const std::string& props = sessionProps()) {
    writeText(dir.file("vh.props"), props);
    vhProps.read(dir.file("vh.props"));
  }
  // A finished session hands its last minutes to zip threads; they use the
  // test's folder and the process-wide directories, so each test waits for
  // them before its folder goes away.
  ~SessionFixture() override { MinuteZip::waitAll(std::chrono::seconds(30)); }
  void initSession() { ASSERT_TRUE(session.init(&io, &vhProps, nullptr, &log)); }

  // Every line of every log file written so far.
  std::string logText() {
    log.flush();
    std::string all;
    for (const std::string& name : listDir(dir.path() + "log/")) {
      all += readText(dir.path() + "log/" + name);
    }
    return all;
  }
  std::vector<SelvomaPacket> written() { return splitFrames(io.takeWritten()); }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  ScopedBaseDir base{dir.path()};
  VhProps vhProps;
  Log log{"sess"};
  MemoryIO io;
  SeisServerState session;
};

#endif  // VH_TESTS_SESSION_SESSIONTESTSUPPORT_H_
