#include "io/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "util/Console.h"
#include "util/Random.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char NOT_SET[] = "not set";
constexpr char NOT_INITIALIZED[] = "Socket not initialized";
constexpr char READ_LOOP_FUNCTION[] = "static void* Socket::readLoopHelper(void*)";

bool isRetryable(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

std::string addressText(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace

std::atomic<int> Socket::_numSockets{0};

Socket::Socket() : IO(KIND_SOCKET), address_(NOT_SET) {}

Socket::~Socket() {
  if (connectedFlag()) close();
  stopReadLoop();
  closeDescriptor();
}

void Socket::closeDescriptor() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  _numSockets.fetch_sub(1, std::memory_order_relaxed);
}

void Socket::init() {
  IO::init();
  closeDescriptor();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    int error = errno;
    setErrno(error);
    logLine(getLog(), LOG_FLUSH, "socket() call failed: %d: %s", fd, ioErrorText(error).c_str());
    return;
  }
  fd_ = fd;
  int count = _numSockets.fetch_add(1, std::memory_order_relaxed) + 1;
  logLine(getLog(), LOG_ADD, "Inited SOCKET _nSocket=%d num=%d", fd_, count);
  seedrand();
  Log* log = getLog();
  if (log != nullptr) log->addVerbose("inited\n");
}

int Socket::bind(uint16_t port, int family, uint32_t address) {
  sockaddr_in in{};
  in.sin_family = static_cast<sa_family_t>(family);
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  int rc = bind(reinterpret_cast<const sockaddr*>(&in), sizeof in);
  if (rc == 0) setErrno(0);
  return rc;
}

int Socket::bind(const sockaddr* address, socklen_t length) {
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return -1;
  }
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int rc = ::bind(fd_, address, length);
  if (rc < 0) {
    setErrno(errno);
    logLine(getLog(), LOG_FLUSH, "bind() failed: %d", rc);
    return rc;
  }
  // The bound address as the system reports it (port 0 binds an ephemeral port).
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
    address_ = bounded(addressText(bound.sin_addr), SOCKET_ADDRESS_MAX);
    port_ = ntohs(bound.sin_port);
  }
  setDescription(sformat("%s.%d", address_.c_str(), port_));
  return 0;
}

int Socket::listen(int backlog) {
  logLine(getLog(), LOG_ADD, "%sListening!\n", nowStr().c_str());
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return -1;
  }
  int rc = ::listen(fd_, backlog);
  if (rc < 0) {
    setErrno(errno);
    logLine(getLog(), LOG_FLUSH, "listen() failed: %d", rc);
  }
  return rc;
}

int Socket::server(uint16_t port) {
  int rc = bind(port, AF_INET, INADDR_ANY);
  if (rc != 0) {
    pprintf("Cannot Bind to Port %d.  result=%d\n", port, rc);
    return rc;
  }
  return listen(SOCKET_BACKLOG);
}

bool Socket::waitReady() {
  if (waitTime_ == 0) return true;
  fd_set readSet, writeSet, errorSet;
  FD_ZERO(&readSet);
  FD_SET(fd_, &readSet);
  writeSet = readSet;
  errorSet = readSet;
  timeval timeout{waitTime_ / SOCKET_WAIT_UNITS_PER_S, waitTime_ % SOCKET_WAIT_UNITS_PER_S};
  if (select(fd_ + 1, &readSet, &writeSet, &errorSet, &timeout) < 0) {
    secprintf("Select error: %d\n", errno);
    return false;
  }
  return true;
}

bool Socket::accept(Socket& client) {
  logLine(getLog(), LOG_ADD, "%sstart accept", nowStr().c_str());
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return false;
  }
  if (!waitReady()) {
    logLine(getLog(), LOG_FLUSH, "timed out\n");
    return false;
  }
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int rc =
      ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  int error = errno;
  client.address_ = bounded(addressText(peer.sin_addr), SOCKET_PEER_ADDRESS_MAX);
  client.port_ = ntohs(peer.sin_port);
  setErrno(0);
  if (rc < 0) {
    setErrno(error);
    logLine(getLog(), LOG_FLUSH, "ERROR accept():%s nSocket=%d errr=%d nRet=%d\n",
            ioErrorText(error).c_str(), fd_, error, rc);
    return false;
  }
  client = rc;
  client.setConnected(client.fd_ >= 0);
  client.setDescription(
      sformat("%s Ports: client=%d server=%d", client.address_.c_str(), client.port_, port_));
  logLine(getLog(), LOG_ADD, "Accepted.  %s   nRet=%d", client.getDescription(), rc);
  if (!client.connectedFlag()) return false;
  if (!client.startReadLoop()) {
    client.close();
    return false;
  }
  return true;
}

bool Socket::connect(const sockaddr* address, socklen_t length) {
  if (fd_ < 0) init();
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return false;
  }
  logLine(getLog(), LOG_ADD, "Attempt SOCKET connect nSocket=%d", fd_);
  int rc = ::connect(fd_, address, length);
  if (rc < 0) setErrno(errno);
  setConnected(rc == 0);
  if (rc != 0) logLine(getLog(), LOG_ADD, "SOCKET connect() failed: result=%d nSocket=%d", rc, fd_);
  return rc == 0;
}

bool Socket::connect(const char* host, uint16_t port) {
  logLine(getLog(), LOG_ADD, "%sAttempt connect to %s:%d\n", nowStr().c_str(), host, port);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  if (!isdigit(static_cast<unsigned char>(host[0]))) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
      logLine(getLog(), LOG_ADD, "SOCKET Unable to determine IP for %s", host);
      setConnected(false);
      return false;
    }
    in.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  } else if (inet_pton(AF_INET, host, &in.sin_addr) != 1) {
    logLine(getLog(), LOG_ADD, "SOCKET Unable to determine IP for %s", host);
    setConnected(false);
    return false;
  }
  if (fd_ < 0) init();
  timeval timeout{SOCKET_CONNECT_RCV_TIMEOUT_S, 0};
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    setConnected(false);
    return false;
  }
  if (!connect(reinterpret_cast<const sockaddr*>(&in), sizeof in)) return false;
  address_ = bounded(addressText(in.sin_addr), SOCKET_ADDRESS_MAX);
  port_ = port;
  setDescription(sformat("%s.%d", address_.c_str(), port_));
  if (!startReadLoop()) {
    close();
    return false;
  }
  return true;
}

bool Socket::connect() { return connect(address_.c_str(), port_); }

int Socket::openSendClose(const char* host, uint16_t port, const unsigned char* bytes, int count) {
  Socket socket;
  socket.init();
  if (!socket.connect(host, port)) return -1;
  return socket.write(bytes, count);
}

Socket& Socket::operator=(int descriptor) {
  logLine(getLog(), LOG_ADD, "SOCKET operator=  old=%d, new=%d", fd_, descriptor);
  if (descriptor == fd_) return *this;
  closeDescriptor();
  fd_ = descriptor;
  if (fd_ >= 0) _numSockets.fetch_add(1, std::memory_order_relaxed);
  return *this;
}

bool Socket::isConnected() { return connectedFlag(); }

void Socket::close() {
  if (!connectedFlag()) return;
  stopReadLoop();
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "SOCKET ALREADY CLOSED  %s", getDescription());
  } else {
    closeDescriptor();
    logLine(getLog(), LOG_FLUSH, "Close socket. %s\n", getDescription());
  }
  setLog(nullptr);
}

int Socket::write(const unsigned char* bytes, int count) {
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return -1;
  }
  if (count < 1) return 0;
  int sent = 0;
  while (sent < count) {
    ssize_t k = ::send(fd_, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
    if (k < 1) {
      if (k < 0) setErrno(errno);
      logLine(getLog(), LOG_ADD, "INCOMPLETE SEND. want to send=%d  written=%d", count - sent,
              sent);
      return sent;
    }
    sent += static_cast<int>(k);
  }
  return sent;
}

void Socket::ioFlush() {
  if (!connectedFlag() || fd_ < 0) return;
  unsigned char scratch[SOCKET_FLUSH_CHUNK_BYTES];
  for (int i = 0; i < SOCKET_FLUSH_CHUNKS; ++i) {
    if (::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) < 1) break;
  }
}

int Socket::ioAvailable() {
  if (fd_ < 0) return 0;
  // One poll when idle; the byte count only when something is pending.
  pollfd entry{fd_, POLLIN | POLLRDHUP, 0};
  if (::poll(&entry, 1, 0) < 1) return 0;
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) == 0 && n > 0) return n;
  // Readable without bytes: the peer closed the connection or it failed.
  unsigned char byte;
  ssize_t k = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (k == 0) {
    lastReadResult_.store(-1, std::memory_order_relaxed);
    markDead("end of stream");
    return -1;
  }
  if (k < 0 && !isRetryable(errno)) {
    int error = errno;
    setErrno(error);
    lastReadResult_.store(-1, std::memory_order_relaxed);
    markDead(ioErrorText(error).c_str());
    return -1;
  }
  return 0;
}

int Socket::ioRead(unsigned char* bytes, int count) {
  setErrno(0);
  if (fd_ < 0) {
    logLine(getLog(), LOG_FLUSH, "%s", NOT_INITIALIZED);
    return -1;
  }
  if (!waitReady()) return -1;
  ssize_t k = ::read(fd_, bytes, static_cast<size_t>(count));
  if (k > 0 || (k == 0 && count < 1)) {
    lastReadResult_.store(static_cast<int>(k), std::memory_order_relaxed);
    return static_cast<int>(k);
  }
  if (k == 0) {
    lastReadResult_.store(-1, std::memory_order_relaxed);
    markDead("end of stream");
    return -1;
  }
  int error = errno;
  setErrno(error);
  logLine(getLog(), LOG_ADD, "**** Read() error=%d=%s", error, ioErrorText(error).c_str());
  if (isRetryable(error)) {
    logLine(getLog(), LOG_ADD, "...continuing... ");
    sleepu(SOCKET_RETRY_SLEEP_US);
    lastReadResult_.store(0, std::memory_order_relaxed);
    return 0;
  }
  lastReadResult_.store(-1, std::memory_order_relaxed);
  markDead(ioErrorText(error).c_str());
  return -1;
}

bool Socket::startReadLoop() { return startReadThread(READ_LOOP_FUNCTION); }

int Socket::ioWait(int timeoutMs) {
  if (fd_ < 0) return -1;
  pollfd entries[2] = {{fd_, POLLIN | POLLRDHUP, 0}, {wakeFd(), POLLIN, 0}};
  int count = wakeFd() >= 0 ? 2 : 1;
  if (::poll(entries, static_cast<nfds_t>(count), timeoutMs) < 1) return 0;
  return entries[0].revents != 0 ? 1 : 0;
}
