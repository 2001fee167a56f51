#include "io/Rs232.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "util/Console.h"
#include "util/Mutex.h"

namespace {

const char* const PORT_NAMES[RS232_PORTS] = {
    "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3",   "/dev/ttyS4",   "/dev/ttyS5",
    "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4", "/dev/ttyUSB5"};

struct BaudCode {
  int rate;
  speed_t code;
};

const BaudCode BAUD_CODES[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}};

constexpr size_t MODE_LENGTH = 3;  // data bits, parity, stop bits

struct PortState {
  std::atomic<int> fd{-1};  // open descriptor, -1 when closed
  termios saved{};          // settings found at open; owner thread only
  bool modemLines = true;   // false when the device has none; set before fd at open
};

PortState ports[RS232_PORTS];

Mutex redirectMu;
std::string redirects[RS232_PORTS] GUARDED_BY(redirectMu);  // tests only

bool validIndex(int index) { return index >= 0 && index < RS232_PORTS; }

int openFd(int index) { return validIndex(index) ? ports[index].fd.load() : -1; }

// The path to open for index: its table entry, or the tests' redirection.
std::string devicePath(int index) {
  MutexLock lock(redirectMu);
  return redirects[index].empty() ? PORT_NAMES[index] : redirects[index];
}

// True when a failed modem-line query means the device has no such lines
// (a pseudo-terminal, some USB adapters) rather than a fault.
bool noModemLines(int error) { return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP; }

bool baudCode(int rate, speed_t* code) {
  for (const BaudCode& entry : BAUD_CODES) {
    if (entry.rate == rate) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

// Fills the character size, parity and stop bits of mode. False (after the
// console line) when mode is not valid.
bool modeFlags(const char* mode, tcflag_t* cflags, tcflag_t* iflags) {
  if (mode == nullptr || strlen(mode) != MODE_LENGTH) {
    pprintf("invalid mode \"%s\"\n", mode == nullptr ? "" : mode);
    return false;
  }
  switch (mode[0]) {
    case '8':
      *cflags |= CS8;
      break;
    case '7':
      *cflags |= CS7;
      break;
    case '6':
      *cflags |= CS6;
      break;
    case '5':
      *cflags |= CS5;
      break;
    default:
      pprintf("invalid number of data-bits '%c'\n", mode[0]);
      return false;
  }
  switch (mode[1]) {
    case 'N':
    case 'n':
      *iflags |= IGNPAR;
      break;
    case 'E':
    case 'e':
      *cflags |= PARENB;
      *iflags |= INPCK;
      break;
    case 'O':
    case 'o':
      *cflags |= PARENB | PARODD;
      *iflags |= INPCK;
      break;
    default:
      pprintf("invalid parity '%c'\n", mode[1]);
      return false;
  }
  switch (mode[2]) {
    case '1':
      break;
    case '2':
      *cflags |= CSTOPB;
      break;
    default:
      pprintf("invalid number of stop bits '%c'\n", mode[2]);
      return false;
  }
  return true;
}

// Restores the saved settings and closes the descriptor that failed to open.
void abandon(int fd, const termios& saved) {
  tcsetattr(fd, TCSANOW, &saved);
  ::close(fd);
}

void setModemLine(int index, int line, bool on) {
  int fd = openFd(index);
  if (fd < 0 || !ports[index].modemLines) return;
  int status = 0;
  if (ioctl(fd, TIOCMGET, &status) == -1) {
    pprintf("unable to get portstatus %s\n", strerrordesc_np(errno));
    return;
  }
  if (on) {
    status |= line;
  } else {
    status &= ~line;
  }
  if (ioctl(fd, TIOCMSET, &status) == -1)
    pprintf("unable to set portstatus %s\n", strerrordesc_np(errno));
}

int modemStatus(int index, int line) {
  int fd = openFd(index);
  int status = 0;
  if (fd < 0 || ioctl(fd, TIOCMGET, &status) == -1) return 0;
  return (status & line) != 0 ? 1 : 0;
}

}  // namespace

bool RS232_modeSettings(int baud, const char* mode, termios* settings) {
  speed_t speed;
  if (!baudCode(baud, &speed)) {
    pprintf("invalid baudrate\n");
    return false;
  }
  tcflag_t cflags = CREAD | CLOCAL;
  tcflag_t iflags = 0;
  if (!modeFlags(mode, &cflags, &iflags)) return false;
  *settings = termios{};
  settings->c_cflag = cflags;
  settings->c_iflag = iflags;
  settings->c_oflag = 0;
  settings->c_lflag = 0;
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
  cfsetispeed(settings, speed);
  cfsetospeed(settings, speed);
  return true;
}

int RS232_OpenComport(int index, int baud, const char* mode) {
  if (!validIndex(index)) {
    pprintf("illegal comport number\n");
    return 1;
  }
  PortState& port = ports[index];
  std::string path = devicePath(index);
  pprintf("OpenComport %s\n", path.c_str());
  if (port.fd.load() >= 0) {
    pprintf("comport %s already open\n", path.c_str());
    return 1;
  }
  termios settings{};
  if (!RS232_modeSettings(baud, mode, &settings)) return 1;

  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  if (tcgetattr(fd, &port.saved) == -1) {
    ::close(fd);
    return 1;
  }
  if (tcsetattr(fd, TCSANOW, &settings) == -1) {
    int error = errno;
    abandon(fd, port.saved);
    pprintf("unable to adjust portsettings  %s\n", strerrordesc_np(error));
    return 1;
  }
  int status = 0;
  bool modemLines = true;
  if (ioctl(fd, TIOCMGET, &status) == -1) {
    int error = errno;
    if (!noModemLines(error)) {
      abandon(fd, port.saved);
      pprintf("unable to get portstatus (Open Comport) %s\n", strerrordesc_np(error));
      return 1;
    }
    modemLines = false;  // nothing to raise; the port is used without them
  }
  if (modemLines) {
    status |= TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMSET, &status) == -1) {
      int error = errno;
      abandon(fd, port.saved);
      pprintf("unable to set portstatus %s\n", strerrordesc_np(error));
      return 1;
    }
  }
  port.modemLines = modemLines;
  port.fd.store(fd);
  return 0;
}

int RS232_PollComport(int index, unsigned char* bytes, int count) {
  int fd = openFd(index);
  if (fd < 0) return -1;
  ssize_t n = ::read(fd, bytes, static_cast<size_t>(count));
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pprintf("\nEAGAIN\n\n");
      return 0;
    }
    return -1;
  }
  return static_cast<int>(n);
}

int RS232_SendBuf(int index, const unsigned char* bytes, int count) {
  int fd = openFd(index);
  if (fd < 0) return -1;
  ssize_t n = ::write(fd, bytes, static_cast<size_t>(count));
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    pprintf("SERIAL write rslt=%d\n", -1);
    return -1;
  }
  return static_cast<int>(n);
}

int RS232_SendByte(int index, unsigned char byte) {
  return RS232_SendBuf(index, &byte, 1) == 1 ? 1 : 0;
}

void RS232_cputs(int index, const char* text) {
  while (*text != '\0') RS232_SendByte(index, static_cast<unsigned char>(*text++));
}

void RS232_CloseComport(int index) {
  if (!validIndex(index)) {
    pprintf("Can't Close because comport_number=%d\n", index);
    return;
  }
  PortState& port = ports[index];
  int fd = port.fd.load();
  if (fd < 0) return;
  if (port.modemLines) {
    int status = 0;
    if (ioctl(fd, TIOCMGET, &status) == -1) {
      pprintf("unable to get portstatus (CloseComport) %s\n", strerrordesc_np(errno));
    } else {
      status &= ~(TIOCM_DTR | TIOCM_RTS);
      if (ioctl(fd, TIOCMSET, &status) == -1) {
        pprintf("unable to set portstatus2 (CloseComport) %s\n", strerrordesc_np(errno));
      }
    }
  }
  tcsetattr(fd, TCSANOW, &port.saved);
  port.fd.store(-1);
  ::close(fd);
}

int RS232_available(int index) {
  int fd = openFd(index);
  int n = 0;
  if (fd < 0 || ioctl(fd, FIONREAD, &n) == -1) return 0;
  return n;
}

int RS232_GetFd(int index) { return openFd(index); }

bool RS232_HasModemLines(int index) { return openFd(index) >= 0 && ports[index].modemLines; }

void RS232_flushRX(int index) {
  int fd = openFd(index);
  if (fd >= 0) tcflush(fd, TCIFLUSH);
}

void RS232_flushTX(int index) {
  int fd = openFd(index);
  if (fd >= 0) tcflush(fd, TCOFLUSH);
}

void RS232_flushRXTX(int index) {
  int fd = openFd(index);
  if (fd >= 0) tcflush(fd, TCIOFLUSH);
}

int RS232_IsDCDEnabled(int index) { return modemStatus(index, TIOCM_CAR); }
int RS232_IsCTSEnabled(int index) { return modemStatus(index, TIOCM_CTS); }
int RS232_IsDSREnabled(int index) { return modemStatus(index, TIOCM_DSR); }
void RS232_enableDTR(int index) { setModemLine(index, TIOCM_DTR, true); }
void RS232_disableDTR(int index) { setModemLine(index, TIOCM_DTR, false); }
void RS232_enableRTS(int index) { setModemLine(index, TIOCM_RTS, true); }
void RS232_disableRTS(int index) { setModemLine(index, TIOCM_RTS, false); }

int RS232_GetPortnr(const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  for (int i = 0; i < RS232_PORTS; ++i) {
    if (strncmp(name, PORT_NAMES[i], RS232_NAME_MAX) == 0) return i;
  }
  return -1;
}

const char* RS232_GetPortName(int index) { return validIndex(index) ? PORT_NAMES[index] : nullptr; }

bool RS232_test(int index) {
  RS232_CloseComport(index);
  bool opened = RS232_OpenComport(index, RS232_TEST_BAUD, RS232_TEST_MODE) == 0;
  RS232_CloseComport(index);
  return opened;
}

void RS232_testAll(bool* flags) {
  for (int i = 0; i < RS232_PORTS; ++i) flags[i] = RS232_test(i);
}

void RS232_TEST_redirect(int index, const char* path) {
  if (!validIndex(index)) return;
  MutexLock lock(redirectMu);
  redirects[index] = path == nullptr ? "" : path;
}
