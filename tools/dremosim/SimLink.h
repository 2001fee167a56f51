// The instrument end of one link: a TCP connection to a hub's port, or the
// master side of a pseudo-terminal whose slave path a hub opens as a serial
// port (raw, 115200 baud, 8 data bits, no parity, 1 stop bit).
//
// The pseudo-terminal keeps one descriptor of its own slave side open, so the
// master never sees a hang-up while the hub closes and reopens the port, and
// the line settings stay as set here.
//
// Every wait is bounded: reads wait at most the time the caller gives,
// writes at most LINK_WRITE_TIMEOUT_MS.
//
// Not shared: owned and used by one instrument thread.
#ifndef VH_TOOLS_DREMOSIM_SIMLINK_H_
#define VH_TOOLS_DREMOSIM_SIMLINK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int LINK_WRITE_TIMEOUT_MS = 2000;    // longest wait for room to write
constexpr int LINK_CONNECT_TIMEOUT_MS = 3000;  // longest wait for a TCP connection
constexpr size_t LINK_READ_CHUNK = 8192;       // bytes taken per read

// An owned file descriptor, closed at the end of its life.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);
  // Gives up ownership without closing; returns the descriptor.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

class SimLink {
 public:
  SimLink() = default;
  SimLink(const SimLink&) = delete;
  SimLink& operator=(const SimLink&) = delete;
  ~SimLink() = default;  // closes whatever is open

  // Connects to host:port (IPv4 name or address). False with the reason in
  // error when the connection fails or takes longer than LINK_CONNECT_TIMEOUT_MS.
  bool connectTcp(const std::string& host, uint16_t port, std::string* error);
  // Creates a pseudo-terminal, sets the line raw at 115200 8N1 and returns
  // the slave path in path. False with the reason in error.
  bool openPty(std::string* path, std::string* error);

  bool isOpen() const { return fd_.valid(); }
  bool isPty() const { return pty_; }

  // Waits up to timeoutMs for input and appends what arrived to out.
  // Returns the byte count (0: nothing came), -1 when the link ended.
  int readSome(std::vector<uint8_t>* out, int timeoutMs);
  // Writes all bytes. False when the link failed or stayed full for
  // LINK_WRITE_TIMEOUT_MS (some bytes may have been written).
  bool writeAll(const uint8_t* bytes, size_t count);
  // Drops the bytes queued in both directions of a pseudo-terminal.
  void flushPty();
  // Closes the link. abrupt: a TCP connection is reset instead of shut down.
  void close(bool abrupt);

 private:
  UniqueFd fd_;
  UniqueFd slave_;  // pseudo-terminal only
  bool pty_ = false;
};

#endif  // VH_TOOLS_DREMOSIM_SIMLINK_H_
