// Socket: the IPv4 TCP transport.
//
// One Socket per port of the hub's port range listens (init, server); each
// accepted instrument connection gets a new Socket (accept), which reads
// through the IO ring and read loop and writes directly. The link thread that
// runs the session owns an accepted Socket and deletes it when the session
// ends; the destructor stops the read loop and closes the descriptor.
//
// Thread safety: as IO. The descriptor is set (init, accept, assignment) and
// closed (close, destructor) by the owner's thread only while no read loop
// runs; the read loop only reads it. _numSockets is atomic.
#ifndef VH_IO_SOCKET_H_
#define VH_IO_SOCKET_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "io/IO.h"

constexpr size_t SOCKET_ADDRESS_MAX = 29;       // characters of the address text
constexpr size_t SOCKET_PEER_ADDRESS_MAX = 16;  // characters taken of an accepted peer's address
// Listen backlog of a server socket. Instruments reconnect together (after
// a hub restart, a network outage): with a queue of 5, a burst of 50
// connections left some half-open for good (connected on the instrument's
// side, never accepted, so the instrument waited for an IDENTIFY that never
// came). A queue of this size takes such a burst.
constexpr int SOCKET_BACKLOG = 128;
constexpr int SOCKET_FLUSH_CHUNKS = 20;          // reads of ioFlush at most
constexpr int SOCKET_FLUSH_CHUNK_BYTES = 512;    // bytes per ioFlush read
constexpr long SOCKET_RETRY_SLEEP_US = 50039;    // pause after an interrupted or would-block read
constexpr int SOCKET_CONNECT_RCV_TIMEOUT_S = 2;  // receive timeout of a client-side connection
constexpr int SOCKET_WAIT_UNITS_PER_S = 10000;   // wait time w: w / this seconds + w % this us

class Socket : public IO {
 public:
  // No descriptor, address "not set", port 0, kind KIND_SOCKET.
  Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  // Stops the read loop and closes any descriptor still held.
  ~Socket() override;

  // Creates the TCP descriptor (close-on-exec), counts it and logs it. A
  // descriptor held before is closed first.
  void init() override;
  // Binds an IPv4 address given in host order. Returns 0, or negative with
  // the system error number in getErrno().
  int bind(uint16_t port, int family = AF_INET, uint32_t address = INADDR_ANY);
  // Binds with address reuse; on success sets address, port and the
  // description "%s.%d". Returns 0, or the negative system result.
  int bind(const sockaddr* address, socklen_t length);
  // Returns 0, or the negative system result (logged).
  int listen(int backlog);
  // Binds all local addresses on port and listens with SOCKET_BACKLOG.
  // Returns 0, or the negative result of the failed step.
  int server(uint16_t port);
  // Listener: accepts one connection into client, which then is connected,
  // described "%s Ports: client=%d server=%d" and reading. Blocks unless a
  // wait time is set. Returns true when the client is connected.
  bool accept(Socket& client);

  // Client side. connect(address) only connects; connect(host, port) also
  // sets a receive timeout, the address, port and description, and starts
  // the read loop; connect() uses the stored address and port. Each returns
  // true when connected.
  bool connect(const sockaddr* address, socklen_t length);
  bool connect(const char* host, uint16_t port);
  bool connect() override;
  // A temporary socket connects, writes and closes. Returns the bytes
  // written, -1 when the connection failed.
  static int openSendClose(const char* host, uint16_t port, const unsigned char* bytes, int count);

  // Adopts descriptor (counted), closing a different one held before.
  Socket& operator=(int descriptor);

  bool isConnected() override;
  // Only when connected: stops the read loop, closes the descriptor, logs
  // "Close socket. %s" and clears the log pointer. A socket that is not
  // connected (a listener) is left untouched.
  void close() override;
  // Sends all bytes without raising SIGPIPE. Returns the bytes sent (fewer
  // when a send transfers nothing; logged "INCOMPLETE SEND"), 0 for
  // count < 1, -1 without a descriptor.
  int write(const unsigned char* bytes, int count) override;
  // Reads and drops what the system still holds (when connected).
  void ioFlush() override;
  // Bytes readable now; -1 after end of stream or a hard error, which also
  // mark the link dead.
  int ioAvailable() override;
  // The count read; 0 after an interrupted or would-block read; -1 on end of
  // stream or a hard error (link marked dead) or without a descriptor.
  int ioRead(unsigned char* bytes, int count) override;
  bool startReadLoop() override;
  // Polls the descriptor (readable, peer closed, error) and the wake-up.
  int ioWait(int timeoutMs) override;

  static void globalInit() {}
  static void globalDestruct() {}

  // Optional select wait before accept and each read: w / 10000 seconds
  // plus w % 10000 microseconds; 0 (the hub's setting) = none.
  void setWaitTime(int w) { waitTime_ = w; }
  const std::string& getAddress() const { return address_; }
  uint16_t getPort() const { return port_; }
  int getDescriptor() const { return fd_; }
  int getLastReadResult() const { return lastReadResult_.load(std::memory_order_relaxed); }

  // Socket descriptors the hub holds; feeds log lines only.
  static std::atomic<int> _numSockets;

 private:
  // Waits with select for the wait time. False only when select fails.
  bool waitReady();
  // Closes the descriptor, if any, and uncounts it.
  void closeDescriptor();

  std::string address_;  // dotted IPv4 address; "not set" initially
  uint16_t port_ = 0;    // a listener's bound port; an accepted socket's client port
  std::atomic<int> lastReadResult_{0};
  int fd_ = -1;
};

#endif  // VH_IO_SOCKET_H_
