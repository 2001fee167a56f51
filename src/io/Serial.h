// Serial: the transport for instruments on serial lines, over the port layer
// of Rs232.h.
//
// Start-up creates one Serial per entry of the port name table and hands it
// to that port's watcher thread, which owns it for the life of the process:
// the watcher connects it (probing every 10 to 14 seconds), waits for the
// session on it to end, and closes it. The session thread writes and flushes;
// the read loop polls. Every device call of those two threads is made under
// the device lock (IO::deviceMu_), so calls never overlap.
#ifndef VH_IO_SERIAL_H_
#define VH_IO_SERIAL_H_

#include <string>

#include "io/IO.h"

class Log;

constexpr int SERIAL_DEFAULT_BAUD = 115200;
constexpr char SERIAL_DEFAULT_MODE[] = "8N1";
constexpr int SERIAL_WRITE_ATTEMPTS = 10000;  // sends of one write at most

class Serial : public IO {
 public:
  // Kind KIND_SERIAL, no port, 115200 baud, "8N1". Opens nothing.
  Serial();
  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;
  // Closes a connected port (restoring its settings) and waits for its read loop.
  ~Serial() override;

  // No port, default baud rate and mode.
  void init() override;
  // Sets port, baud rate and (when given) the first three characters of
  // mode, and the description "%s,%d,%s". Opens nothing.
  void init(const char* name, int baud, const char* mode);
  // Takes at most RS232_NAME_MAX characters of name; the index is the name's
  // place in the port table, -1 when it is not there.
  void setPort(const char* name);

  // A port is set and it is open.
  bool isConnected() override;
  // Clears the ring and the device, opens the port and starts the read
  // loop. A device without modem-control lines is used without them, with
  // one log line. Returns false when already connected, when the port, baud
  // rate or mode is unusable, or when the open fails.
  bool connect() override;
  // When connected: stops the read loop, closes the port (restoring the
  // settings it had before) and clears the log pointer.
  void close() override;
  // Sends all bytes, retrying while the device is busy. Returns the bytes
  // sent (fewer after a send error, logged), 0 for count < 1, -1 when not
  // connected.
  int write(const unsigned char* bytes, int count) override;
  void ioFlush() override;
  int ioAvailable() override;
  int ioRead(unsigned char* bytes, int count) override;
  bool startReadLoop() override;
  // Polls the port's descriptor and the wake-up. The descriptor is stable
  // while the read loop runs (close stops the loop before closing the port),
  // so the wait takes no device lock and never holds up a write.
  int ioWait(int timeoutMs) override;

  const std::string& portName() const { return portName_; }
  int portIndex() const { return portIndex_; }
  int baud() const { return baud_; }
  const std::string& mode() const { return mode_; }

  static int numPorts();
  // Entry i of the port name table, null for a bad index.
  static const char* getPortName(int i);
  // Tries to open every port of the table; flags gets numPorts() results.
  static void testAll(bool* flags);
  // Ports are fixed on this platform: nothing to do.
  static void updateComPorts(Log* log) {}

 private:
  std::string portName_;  // device path; empty = no port
  int portIndex_ = -1;    // index in the port table, -1 when not in it
  int baud_ = SERIAL_DEFAULT_BAUD;
  std::string mode_;  // data bits, parity, stop bits
};

#endif  // VH_IO_SERIAL_H_
