#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Log.h"
#include "io/Rs232.h"
#include "io/Serial.h"
#include "support/TestSupport.h"
#include "util/Console.h"

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWait{5000};
constexpr int kIndex = 6;  // "/dev/ttyUSB0", redirected to a pseudo-terminal

class LinesLog : public Log {
 public:
  LinesLog() : Log("serialtest") {}
  void add(const char* text, bool) override { lines += std::string(text) + "\n"; }
  std::string lines;
};

// A pseudo-terminal whose slave stands in for table entry kIndex. Nothing in
// these tests opens a real serial device.
class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
    RS232_TEST_redirect(kIndex, slave_.c_str());
  }
  void TearDown() override {
    RS232_TEST_redirect(kIndex, nullptr);
    ::close(master_);
    DOPRINTF = false;
  }
  TempDir dir_;  // the logs' folder
  ScopedBaseDir base_{dir_.path()};

  termios slaveSettings() {
    termios t{};
    int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    tcgetattr(fd, &t);
    ::close(fd);
    return t;
  }
  void setSlaveSettings(const termios& t) {
    int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  // Console output of f, with console printing on.
  template <typename F>
  std::string console(F f) {
    DOPRINTF = true;
    testing::internal::CaptureStdout();
    f();
    std::string out = testing::internal::GetCapturedStdout();
    DOPRINTF = false;
    return out;
  }
  std::string fromMaster(size_t count) {
    std::string got;
    char buffer[256];
    waitFor(
        [&] {
          ssize_t n = ::read(master_, buffer, sizeof buffer);
          if (n > 0) got.append(buffer, static_cast<size_t>(n));
          return got.size() >= count;
        },
        kWait);
    return got;
  }

  int master_ = -1;
  std::string slave_;
};

// A pseudo-terminal always keeps 8 data bits without parity; it does keep
// speed, stop bits, odd-parity flag, input flags and line discipline, which
// these tests watch.
TEST_F(SerialTest, Open8N1SetsRawSettingsAndCloseRestoresTheOldOnes) {
  termios before = slaveSettings();
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_cflag |= CSTOPB | PARODD;
  before.c_iflag |= INPCK | ICRNL;
  before.c_lflag |= ICANON | ECHO;
  setSlaveSettings(before);
  before = slaveSettings();
  ASSERT_EQ(cfgetispeed(&before), static_cast<speed_t>(B9600));

  Serial serial;
  serial.init("/dev/ttyUSB0", 115200, "8N1");
  LinesLog log;
  serial.setLog(&log);
  ASSERT_TRUE(serial.connect());
  EXPECT_TRUE(serial.isConnected());
  // The modem-line query is made and not supported: the port is used without them.
  EXPECT_FALSE(RS232_HasModemLines(kIndex));
  EXPECT_EQ(log.lines,
            "dev/ttyUSB0,115200,8N1 connected.\n"
            "dev/ttyUSB0,115200,8N1 has no modem-control lines: DTR and RTS not used.\n");
  termios open = slaveSettings();
  EXPECT_EQ(open.c_cflag & (CSTOPB | PARODD), 0u);
  EXPECT_EQ(open.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(open.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(open.c_oflag, 0u);
  EXPECT_EQ(cfgetispeed(&open), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&open), static_cast<speed_t>(B115200));
  EXPECT_EQ(open.c_cc[VMIN], 1);
  EXPECT_EQ(open.c_cc[VTIME], 0);

  serial.close();
  EXPECT_FALSE(serial.isConnected());
  termios after = slaveSettings();
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
}

TEST_F(SerialTest, ModesSetDataBitsParityAndStopBits) {
  struct Case {
    const char* mode;
    tcflag_t size;
    tcflag_t parity;  // PARENB, PARODD
    bool twoStop;
  };
  const Case cases[] = {{"8N1", CS8, 0, false},
                        {"7E2", CS7, PARENB, true},
                        {"8O1", CS8, PARENB | PARODD, false},
                        {"5n2", CS5, 0, true},
                        {"6e1", CS6, PARENB, false}};
  for (const Case& c : cases) {
    termios wanted{};
    ASSERT_TRUE(RS232_modeSettings(9600, c.mode, &wanted)) << c.mode;
    EXPECT_EQ(wanted.c_cflag & CSIZE, c.size) << c.mode;
    EXPECT_EQ(wanted.c_cflag & (PARENB | PARODD), c.parity) << c.mode;
    EXPECT_EQ((wanted.c_cflag & CSTOPB) != 0, c.twoStop) << c.mode;
    EXPECT_EQ(wanted.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(wanted.c_iflag,
              c.parity != 0 ? static_cast<tcflag_t>(INPCK) : static_cast<tcflag_t>(IGNPAR))
        << c.mode;
    // What the pseudo-terminal keeps of it after a real open.
    ASSERT_EQ(RS232_OpenComport(kIndex, 9600, c.mode), 0) << c.mode;
    termios t = slaveSettings();
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop) << c.mode;
    EXPECT_EQ(t.c_cflag & PARODD, c.parity & PARODD) << c.mode;
    EXPECT_EQ(t.c_iflag, wanted.c_iflag) << c.mode;
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600)) << c.mode;
    RS232_CloseComport(kIndex);
  }
}

TEST_F(SerialTest, InvalidModeParityDataBitsStopBitsAndBaudAreRejected) {
  struct Case {
    int baud;
    const char* mode;
    const char* line;
  };
  const Case cases[] = {{115200, "8X1", "invalid parity 'X'\n"},
                        {115200, "8N", "invalid mode \"8N\"\n"},
                        {115200, "8N11", "invalid mode \"8N11\"\n"},
                        {115200, "9N1", "invalid number of data-bits '9'\n"},
                        {115200, "8N3", "invalid number of stop bits '3'\n"},
                        {14400, "8N1", "invalid baudrate\n"},
                        {0, "8N1", "invalid baudrate\n"}};
  for (const Case& c : cases) {
    int rc = 0;
    std::string out = console([&] { rc = RS232_OpenComport(kIndex, c.baud, c.mode); });
    EXPECT_EQ(rc, 1) << c.mode;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
  }
  // None of them left the port open.
  EXPECT_EQ(RS232_OpenComport(kIndex, 115200, "8N1"), 0);
  RS232_CloseComport(kIndex);
}

TEST_F(SerialTest, BytesFlowBothWaysAndAReconnectClearsOldBytes) {
  Serial serial;
  serial.init("/dev/ttyUSB0", 115200, "8N1");
  ASSERT_TRUE(serial.connect());
  std::string data = "\x55\x01\x02 frame \xff";
  ASSERT_EQ(::write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  std::vector<unsigned char> got(data.size());
  ASSERT_EQ(serial.read(got.data(), static_cast<int>(got.size())), static_cast<int>(data.size()));
  EXPECT_EQ(std::string(got.begin(), got.end()), data);
  const unsigned char reply[] = {0x55, 0xAA, 0x00, 0x10};
  EXPECT_EQ(serial.write(reply, 4), 4);
  EXPECT_EQ(fromMaster(4), std::string("\x55\xAA\x00\x10", 4));
  EXPECT_EQ(serial.write(reply, 0), 0);

  // A second connect is refused; a new one after a close clears old bytes.
  ASSERT_EQ(::write(master_, "old", 3), 3);
  ASSERT_TRUE(waitFor([&] { return serial.available() == 3; }, kWait));
  bool again = true;
  std::string out = console([&] { again = serial.connect(); });
  EXPECT_FALSE(again);
  EXPECT_EQ(out, "Serial /dev/ttyUSB0 already connected\n");
  EXPECT_EQ(serial.available(), 3);  // the device was not touched
  serial.close();
  ASSERT_TRUE(serial.connect());
  EXPECT_EQ(serial.available(), 0);
}

// An unconnected port: its description, writes and close; a port outside
// the table is never opened.
TEST_F(SerialTest, UnconnectedPortDescriptionWriteCloseAndPortOutsideTheTable) {
  Serial serial;
  serial.init("/dev/ttyUSB0", 115200, "8N1");
  EXPECT_EQ(std::string(serial.getDescription()), "dev/ttyUSB0,115200,8N1");
  const unsigned char byte = 1;
  EXPECT_EQ(serial.write(&byte, 1), -1);
  EXPECT_EQ(console([&] { serial.close(); }),
            "NOT closing serial. /dev/ttyUSB0  connected=false\n");
  serial.init("\\\\./ /dev/ttyS3", 9600, "7E2");
  EXPECT_EQ(std::string(serial.getDescription()), "dev/ttyS3,9600,7E2");
  serial.init("/dev/ttyS3", 9600, nullptr);  // no mode given: kept
  EXPECT_EQ(serial.mode(), "7E2");
  EXPECT_EQ(serial.getKind(), IO::KIND_SERIAL);

  Serial outside;
  outside.init(slave_.c_str(), 115200, "8N1");
  EXPECT_EQ(outside.portIndex(), -1);
  bool connected = true;
  EXPECT_EQ(console([&] { connected = outside.connect(); }), "skipped serial\n");
  EXPECT_FALSE(connected);
  Serial none;
  EXPECT_FALSE(none.connect());
}

TEST(Rs232Test, NameTableLookupAndBadIndices) {
  EXPECT_EQ(RS232_GetPortnr("/dev/ttyS0"), 0);
  EXPECT_EQ(RS232_GetPortnr("/dev/ttyS5"), 5);
  EXPECT_EQ(RS232_GetPortnr("/dev/ttyUSB5"), 11);
  EXPECT_EQ(RS232_GetPortnr("/dev/ttyS6"), -1);
  EXPECT_EQ(RS232_GetPortnr(""), -1);
  EXPECT_EQ(RS232_GetPortnr(nullptr), -1);
  EXPECT_EQ(RS232_GetPortName(12), nullptr);
  EXPECT_EQ(RS232_GetPortName(-1), nullptr);
  EXPECT_EQ(Serial::numPorts(), 12);
  RS232_TEST_redirect(6, "/dev/null");
  EXPECT_STREQ(Serial::getPortName(6), "/dev/ttyUSB0");  // the table is unchanged
  RS232_TEST_redirect(6, nullptr);
  unsigned char byte;
  EXPECT_EQ(RS232_PollComport(12, &byte, 1), -1);
  EXPECT_EQ(RS232_available(-1), 0);
  DOPRINTF = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(RS232_OpenComport(12, 115200, "8N1"), 1);
  RS232_CloseComport(12);
  std::string out = testing::internal::GetCapturedStdout();
  DOPRINTF = false;
  EXPECT_EQ(out, "illegal comport number\nCan't Close because comport_number=12\n");
}

}  // namespace
