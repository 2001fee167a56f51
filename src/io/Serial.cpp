#include "io/Serial.h"

#include <poll.h>

#include <cstring>

#include "core/Log.h"
#include "io/Rs232.h"
#include "util/Console.h"
#include "util/Text.h"

namespace {

constexpr char READ_LOOP_FUNCTION[] = "static void* Serial::readLoopHelper(void*)";
constexpr size_t MODE_LENGTH = 3;

// The port name without its leading dots, slashes, backslashes and blanks.
std::string stripLeading(const std::string& name) {
  size_t start = name.find_first_not_of("./\\ ");
  return start == std::string::npos ? "" : name.substr(start);
}

}  // namespace

Serial::Serial() : IO(KIND_SERIAL) { init("", SERIAL_DEFAULT_BAUD, SERIAL_DEFAULT_MODE); }

Serial::~Serial() {
  if (connectedFlag()) {
    close();
  } else {
    pprintf("serial already closed\n");
  }
  stopReadLoop();
}

void Serial::init() {
  IO::init();
  portIndex_ = -1;
  portName_.clear();
  mode_.clear();
  init("", SERIAL_DEFAULT_BAUD, SERIAL_DEFAULT_MODE);
}

void Serial::init(const char* name, int baud, const char* mode) {
  setPort(name);
  baud_ = baud;
  if (mode != nullptr && mode[0] != '\0') mode_ = bounded(mode, MODE_LENGTH);
  setDescription(sformat("%s,%d,%s", stripLeading(portName_).c_str(), baud_, mode_.c_str()));
}

void Serial::setPort(const char* name) {
  portName_ = bounded(name == nullptr ? "" : name, RS232_NAME_MAX);
  portIndex_ = RS232_GetPortnr(portName_.c_str());
}

bool Serial::isConnected() { return !portName_.empty() && connectedFlag(); }

bool Serial::connect() {
  if (connectedFlag()) {
    pprintf("Serial %s already connected\n", portName_.c_str());
    return false;
  }
  clear();
  setConnected(false);
  if (portName_.empty() || portIndex_ < 0 || baud_ <= 0 || mode_.size() != MODE_LENGTH) {
    pprintf("skipped serial\n");
    return false;
  }
  {
    MutexLock lock(deviceMu_);
    if (RS232_OpenComport(portIndex_, baud_, mode_.c_str()) != 0) return false;
  }
  setConnected(true);
  logLine(getLog(), LOG_ADD, "%s connected.", getDescription());
  if (!RS232_HasModemLines(portIndex_))
    logLine(getLog(), LOG_ADD, "%s has no modem-control lines: DTR and RTS not used.",
            getDescription());
  if (!startReadLoop()) {
    close();
    return false;
  }
  return true;
}

void Serial::close() {
  if (!connectedFlag()) {
    pprintf("NOT closing serial. %s  connected=false\n", portName_.c_str());
    return;
  }
  // The read loop ends before the descriptor goes.
  stopReadLoop();
  {
    MutexLock lock(deviceMu_);
    RS232_CloseComport(portIndex_);
  }
  setLog(nullptr);
}

int Serial::write(const unsigned char* bytes, int count) {
  if (!connectedFlag()) {
    logLine(getLog(), LOG_FLUSH, "Serial.write().  Not connected.");
    return -1;
  }
  if (count < 1) return 0;
  int sent = 0;
  for (int attempt = 0; attempt < SERIAL_WRITE_ATTEMPTS && sent < count; ++attempt) {
    int k;
    {
      MutexLock lock(deviceMu_);
      k = RS232_SendBuf(portIndex_, bytes + sent, count - sent);
    }
    if (k < 0) break;
    sent += k;
  }
  if (sent < count)
    logLine(getLog(), LOG_ADD, "INCOMPLETE Serial.write(). want to write=%d  written=%d",
            count - sent, sent);
  return sent;
}

void Serial::ioFlush() {
  MutexLock lock(deviceMu_);
  RS232_flushRX(portIndex_);
}

int Serial::ioAvailable() {
  MutexLock lock(deviceMu_);
  return RS232_available(portIndex_);
}

int Serial::ioRead(unsigned char* bytes, int count) {
  MutexLock lock(deviceMu_);
  return RS232_PollComport(portIndex_, bytes, count);
}

bool Serial::startReadLoop() { return startReadThread(READ_LOOP_FUNCTION); }

int Serial::ioWait(int timeoutMs) {
  int fd = RS232_GetFd(portIndex_);
  if (fd < 0) return -1;
  pollfd entries[2] = {{fd, POLLIN, 0}, {wakeFd(), POLLIN, 0}};
  int count = wakeFd() >= 0 ? 2 : 1;
  if (::poll(entries, static_cast<nfds_t>(count), timeoutMs) < 1) return 0;
  return entries[0].revents != 0 ? 1 : 0;
}

int Serial::numPorts() { return RS232_PORTS; }

const char* Serial::getPortName(int i) { return RS232_GetPortName(i); }

void Serial::testAll(bool* flags) { RS232_testAll(flags); }
