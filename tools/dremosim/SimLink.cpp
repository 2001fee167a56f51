#include "SimLink.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "util/Text.h"

namespace {

std::string errorText(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);
}

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool SimLink::connectTcp(const std::string& host, uint16_t port, std::string* error) {
  close(false);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = sformat("cannot resolve %s: %s", host.c_str(), gai_strerror(rc));
    return false;
  }
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  address.sin_port = htons(port);

  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    *error = "socket: " + errorText(errno);
    return false;
  }
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      *error = sformat("connect %s:%u: %s", host.c_str(), port, errorText(errno).c_str());
      return false;
    }
    pollfd p{fd.get(), POLLOUT, 0};
    if (poll(&p, 1, LINK_CONNECT_TIMEOUT_MS) != 1) {
      *error = sformat("connect %s:%u: timed out", host.c_str(), port);
      return false;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length);
    if (soError != 0) {
      *error = sformat("connect %s:%u: %s", host.c_str(), port, errorText(soError).c_str());
      return false;
    }
  }
  int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_.reset(fd.release());
  pty_ = false;
  return true;
}

bool SimLink::openPty(std::string* path, std::string* error) {
  close(false);
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid()) {
    *error = "posix_openpt: " + errorText(errno);
    return false;
  }
  if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    *error = "grantpt/unlockpt: " + errorText(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master.get(), name, sizeof name) != 0) {
    *error = "ptsname: " + errorText(errno);
    return false;
  }
  UniqueFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.valid()) {
    *error = sformat("open %s: %s", name, errorText(errno).c_str());
    return false;
  }
  termios line{};
  if (tcgetattr(slave.get(), &line) != 0) {
    *error = "tcgetattr: " + errorText(errno);
    return false;
  }
  cfmakeraw(&line);
  line.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  cfsetispeed(&line, B115200);
  cfsetospeed(&line, B115200);
  if (tcsetattr(slave.get(), TCSANOW, &line) != 0) {
    *error = "tcsetattr: " + errorText(errno);
    return false;
  }
  if (!setNonBlocking(master.get())) {
    *error = "fcntl: " + errorText(errno);
    return false;
  }
  fd_.reset(master.release());
  slave_.reset(slave.release());
  *path = name;
  pty_ = true;
  return true;
}

int SimLink::readSome(std::vector<uint8_t>* out, int timeoutMs) {
  if (!fd_.valid()) return -1;
  pollfd p{fd_.get(), POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  uint8_t chunk[LINK_READ_CHUNK];
  ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
  if (n > 0) {
    out->insert(out->end(), chunk, chunk + n);
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n < 0 && pty_ && errno == EIO) return 0;  // no process has the line open
  // End of stream, a reset, or (pseudo-terminal) a hang-up.
  return -1;
}

bool SimLink::writeAll(const uint8_t* bytes, size_t count) {
  if (!fd_.valid()) return false;
  int64_t deadline = nowMs() + LINK_WRITE_TIMEOUT_MS;
  size_t done = 0;
  while (done < count) {
    ssize_t n = pty_ ? ::write(fd_.get(), bytes + done, count - done)
                     : ::send(fd_.get(), bytes + done, count - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    int64_t left = deadline - nowMs();
    if (left <= 0) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return true;
}

void SimLink::flushPty() {
  if (pty_ && slave_.valid()) tcflush(slave_.get(), TCIOFLUSH);
}

void SimLink::close(bool abrupt) {
  if (fd_.valid() && !pty_) {
    if (abrupt) {
      linger reset{1, 0};
      setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else {
      shutdown(fd_.get(), SHUT_RDWR);
    }
  }
  fd_.reset();
  slave_.reset();
  pty_ = false;
}
