#include "Server.h"

#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "DataLink.h"
#include "SeedLink.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

constexpr int LISTEN_BACKLOG = 32;
constexpr std::string_view HTTP_GET = "GET ";
constexpr char SEEDLINK_PATH[] = "/seedlink";
constexpr char SEEDLINK_SUBPROTOCOL[] = "SeedLink3.1";
constexpr char DATALINK_PATH[] = "/datalink";
constexpr char DATALINK_SUBPROTOCOL[] = "DataLink1.0";
constexpr char HTTP_SERVER[] = "ringservervh";
constexpr unsigned HTTP_VERSION = 11;     // HTTP/1.1
constexpr size_t LOGGED_TARGET_MAX = 80;  // characters of a refused request's target in the log

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

// True when the comma-separated list (of a Sec-WebSocket-Protocol field)
// names token.
bool listNames(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = std::min(list.find(','), list.size());
    std::string_view item = list.substr(0, comma);
    list.remove_prefix(std::min(comma + 1, list.size()));
    const size_t first = item.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    item = item.substr(first, item.find_last_not_of(" \t") + 1 - first);
    if (item == token) return true;
  }
  return false;
}

}  // namespace

// The event loop of one RingServer (which owns it): the listening sockets,
// the scan timer and the list of open connections. Used by the thread in
// run only.
class RingServer::Loop {
 public:
  explicit Loop(RingServer& server) : server_(server) {}
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Opens, binds and listens; false (logged) when it cannot.
  bool listen(tcp::acceptor* acceptor, int port, const char* protocol);
  // Accepts, ticks and serves until stop or the parent's end; then closes
  // every connection (without transfer lines) and the listening sockets.
  void run(const std::atomic<bool>& stop);
  // Forgets an ended connection.
  void remove(const Connection* connection);

  // Declared first, destroyed last: the sockets and timers below use it.
  asio::io_context io_;
  tcp::acceptor seedLink_{io_};
  tcp::acceptor dataLink_{io_};

 private:
  void accept(tcp::acceptor* acceptor, bool dataLink);
  void tick();

  RingServer& server_;
  asio::steady_timer timer_{io_};
  std::vector<std::shared_ptr<Connection>> connections_;
  const std::atomic<bool>* stop_ = nullptr;
  bool watchParent_ = false;
  pid_t parent_ = 0;
  int64_t nextSave_ = 0;
};

// One client. Held by the loop's list while open and by the handlers of its
// operations under way, so it lives until the last of them has run; once
// closed_ is set, those handlers return at once. Used by the thread in run
// only.
class RingServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(RingServer& server, Loop& loop, tcp::socket socket, bool dataLink, std::string peer);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start() { readFirst(); }
  // Tops up the records to send (while less than OUT_LOW bytes wait) and
  // starts a write when none is under way.
  void pump();
  // Drops the client when a write has made no progress for CLIENT_STALL_SECS.
  void checkStall(time_t now);
  // Closes the socket without a transfer line (the server stops).
  void abandon();

 private:
  using WebSocket = websocket::stream<tcp::socket>;
  // Until the first bytes decide, then an HTTP request being read and
  // upgraded, or the plain protocol, or the WebSocket.
  enum class Stage { FIRST_BYTES, UPGRADE, PLAIN, WEBSOCKET };

  tcp::socket& socket() { return ws_ ? ws_->next_layer() : socket_; }
  void readFirst();
  void onFirst(const ErrorCode& ec, size_t n);
  void armUpgradeTimer();
  void readRequest();
  void onRequest(const ErrorCode& ec);
  // Logs the refusal of the request for target, then responds.
  void refuse(http::status status, const char* text, std::string_view target);
  // Answers with an HTTP error, then closes.
  void respond(http::status status, const char* text);
  void onUpgraded(const ErrorCode& ec);
  void readRaw();
  void readMessage();
  // Hands bytes from the client to the session; false when no more are read.
  bool deliver(const char* bytes, size_t n, bool message);
  // Queues what the session appended to bytes (one message per answer or
  // packet over a WebSocket).
  void queue(std::string&& bytes);
  void onWritten(const ErrorCode& ec, size_t n);
  // Everything is sent and the conversation is over.
  void finish();
  // Closes the connection and writes its transfer line.
  void end(const char* reason);

  RingServer& server_;
  Loop& loop_;
  const bool dataLink_;
  const std::string peer_;
  const time_t connected_;
  tcp::socket socket_;             // until a WebSocket upgrade takes it over
  std::unique_ptr<WebSocket> ws_;  // after the upgrade
  asio::steady_timer upgradeTimer_;
  beast::flat_buffer buffer_{MESSAGE_MAX};  // bytes read and not yet handled
  std::optional<http::request_parser<http::empty_body>> request_;
  std::unique_ptr<ClientProtocol> session_;
  std::deque<std::string> out_;  // to send, in order; over a WebSocket one message each
  size_t sendPos_ = 0;           // bytes of out_.front() sent (plain connection)
  size_t pending_ = 0;           // bytes of out_ not yet sent
  time_t lastProgress_;          // start of the write under way or its last progress
  Stage stage_ = Stage::FIRST_BYTES;
  bool upgradeTimed_ = false;  // the upgrade timer was started
  bool writing_ = false;       // a write (or the WebSocket close) is under way
  bool ending_ = false;        // close once out_ is sent
  bool closed_ = false;
};

// ---- Loop

bool RingServer::Loop::listen(tcp::acceptor* acceptor, int port, const char* protocol) {
  ErrorCode ec = make_error_code(boost::system::errc::invalid_argument);
  if (port > 0 && port <= 65535) {
    ec = {};
    acceptor->open(tcp::v4(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(tcp::endpoint(tcp::v4(), static_cast<uint16_t>(port)), ec);
    if (!ec) acceptor->listen(LISTEN_BACKLOG, ec);
  }
  if (ec) {
    ringLog("cannot listen on %s port %d: %s", protocol, port, ec.message().c_str());
    ErrorCode ignored;
    acceptor->close(ignored);
    return false;
  }
  ringLog("%s on port %d", protocol, port);
  return true;
}

void RingServer::Loop::accept(tcp::acceptor* acceptor, bool dataLink) {
  acceptor->async_accept([this, acceptor, dataLink](const ErrorCode& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or memory: a pause instead of a busy loop.
      ringLog("cannot accept a client: %s", ec.message().c_str());
      auto retry =
          std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(ACCEPT_RETRY_MS));
      retry->async_wait([this, acceptor, dataLink, retry](const ErrorCode& waited) {
        if (!waited) accept(acceptor, dataLink);
      });
      return;
    }
    ErrorCode endpointError;
    const tcp::endpoint remote = socket.remote_endpoint(endpointError);
    const std::string peer =
        endpointError ? std::string("?")
                      : remote.address().to_string() + ":" + std::to_string(remote.port());
    if (static_cast<int>(connections_.size()) >= server_.maxClients_) {
      ringLog("%s refused: %d clients already", peer.c_str(), server_.maxClients_);
    } else {
      auto connection =
          std::make_shared<Connection>(server_, *this, std::move(socket), dataLink, peer);
      connections_.push_back(connection);
      connection->start();
    }
    accept(acceptor, dataLink);
  });
}

void RingServer::Loop::remove(const Connection* connection) {
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [connection](const std::shared_ptr<Connection>& c) {
                                      return c.get() == connection;
                                    }),
                     connections_.end());
}

void RingServer::Loop::tick() {
  if (stop_->load()) {
    io_.stop();
    return;
  }
  if (watchParent_ && getppid() != parent_) {
    ringLog("parent process ended");
    io_.stop();
    return;
  }
  if (server_.scan_->scan() > 0) server_.stateDirty_ = true;
  const int64_t now = nowMs();
  if (now >= nextSave_) {
    nextSave_ = now + SAVE_INTERVAL_MS;
    server_.save(false);
  }
  // A copy: a connection that ends leaves connections_.
  const std::vector<std::shared_ptr<Connection>> connections = connections_;
  const time_t wall = time(nullptr);
  for (const auto& connection : connections) {
    connection->checkStall(wall);
    connection->pump();
  }
  timer_.expires_after(std::chrono::milliseconds(SCAN_INTERVAL_MS));
  timer_.async_wait([this](const ErrorCode& ec) {
    if (!ec) tick();
  });
}

void RingServer::Loop::run(const std::atomic<bool>& stop) {
  stop_ = &stop;
  watchParent_ = server_.conf_.watchParent();
  parent_ = getppid();
  if (seedLink_.is_open()) accept(&seedLink_, false);
  if (dataLink_.is_open()) accept(&dataLink_, true);
  tick();
  io_.run();
  for (const auto& connection : connections_) connection->abandon();
  connections_.clear();
  ErrorCode ignored;
  seedLink_.close(ignored);
  dataLink_.close(ignored);
  timer_.cancel();
  // Lets the cancelled operations finish, releasing their connections.
  io_.restart();
  io_.poll();
}

// ---- Connection

RingServer::Connection::Connection(RingServer& server, Loop& loop, tcp::socket socket,
                                   bool dataLink, std::string peer)
    : server_(server),
      loop_(loop),
      dataLink_(dataLink),
      peer_(std::move(peer)),
      connected_(time(nullptr)),
      socket_(std::move(socket)),
      upgradeTimer_(loop.io_),
      lastProgress_(connected_) {
  if (dataLink) {
    session_ = std::make_unique<DataLinkSession>(server.store_, server.serverId_);
  } else {
    session_ = std::make_unique<SeedLinkSession>(server.store_, server.serverId_);
  }
}

void RingServer::Connection::readFirst() {
  auto self = shared_from_this();
  socket_.async_read_some(buffer_.prepare(READ_CHUNK),
                          [self](const ErrorCode& ec, size_t n) { self->onFirst(ec, n); });
}

void RingServer::Connection::onFirst(const ErrorCode& ec, size_t n) {
  if (closed_) return;
  if (ec) {
    end("closed");
    return;
  }
  buffer_.commit(n);
  const std::string_view bytes(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  if (bytes.compare(0, HTTP_GET.size(), HTTP_GET) == 0) {
    stage_ = Stage::UPGRADE;
    armUpgradeTimer();
    readRequest();
  } else if (bytes.size() < HTTP_GET.size() && HTTP_GET.compare(0, bytes.size(), bytes) == 0) {
    armUpgradeTimer();  // perhaps the start of "GET "
    readFirst();
  } else {
    stage_ = Stage::PLAIN;
    upgradeTimer_.cancel();
    const bool go = deliver(bytes.data(), bytes.size(), false);
    buffer_.consume(buffer_.size());
    if (go) readRaw();
  }
}

void RingServer::Connection::armUpgradeTimer() {
  if (upgradeTimed_) return;
  upgradeTimed_ = true;
  upgradeTimer_.expires_after(std::chrono::seconds(UPGRADE_SECS));
  auto self = shared_from_this();
  upgradeTimer_.async_wait([self](const ErrorCode& ec) {
    if (ec || self->closed_ || self->stage_ == Stage::PLAIN || self->stage_ == Stage::WEBSOCKET)
      return;
    ringLog("%s dropped: no WebSocket upgrade within %d s", self->peer_.c_str(), UPGRADE_SECS);
    self->end("dropped");
  });
}

void RingServer::Connection::readRequest() {
  request_.emplace();
  request_->header_limit(MESSAGE_MAX);
  auto self = shared_from_this();
  http::async_read(socket_, buffer_, *request_,
                   [self](const ErrorCode& ec, size_t) { self->onRequest(ec); });
}

void RingServer::Connection::onRequest(const ErrorCode& ec) {
  if (closed_) return;
  if (ec) {
    ringLog("%s dropped: unreadable HTTP request: %s", peer_.c_str(), ec.message().c_str());
    if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
      respond(http::status::bad_request, "Malformed HTTP request");  // not a lost connection
    } else {
      end("dropped");
    }
    return;
  }
  const http::request<http::empty_body>& request = request_->get();
  const std::string_view target = view(request.target());
  const char* path = dataLink_ ? DATALINK_PATH : SEEDLINK_PATH;
  const char* subprotocol = dataLink_ ? DATALINK_SUBPROTOCOL : SEEDLINK_SUBPROTOCOL;
  const std::string_view offered = view(request[http::field::sec_websocket_protocol]);
  if (target.substr(0, target.find('?')) != path) {
    refuse(http::status::not_found, "Not found", target);
  } else if (!websocket::is_upgrade(request)) {
    refuse(http::status::bad_request, "A WebSocket upgrade is expected here", target);
  } else if (!offered.empty() && !listNames(offered, subprotocol)) {
    refuse(http::status::bad_request, "Unsupported WebSocket subprotocol", target);
  } else {
    ws_ = std::make_unique<WebSocket>(std::move(socket_));
    ws_->set_option(websocket::stream_base::timeout{std::chrono::seconds(UPGRADE_SECS),
                                                    websocket::stream_base::none(), false});
    ws_->read_message_max(MESSAGE_MAX);
    ws_->binary(true);
    const bool named = !offered.empty();
    ws_->set_option(
        websocket::stream_base::decorator([subprotocol, named](websocket::response_type& r) {
          r.set(http::field::server, HTTP_SERVER);
          if (named) r.set(http::field::sec_websocket_protocol, subprotocol);
        }));
    auto self = shared_from_this();
    ws_->async_accept(request, [self](const ErrorCode& accepted) { self->onUpgraded(accepted); });
  }
}

void RingServer::Connection::refuse(http::status status, const char* text,
                                    std::string_view target) {
  std::string shown(target.substr(0, LOGGED_TARGET_MAX));
  for (char& c : shown) {
    if (!isPrintableAscii(static_cast<unsigned char>(c))) c = '?';
  }
  ringLog("%s refused: HTTP %u for %s", peer_.c_str(), static_cast<unsigned>(status),
          shown.c_str());
  respond(status, text);
}

void RingServer::Connection::respond(http::status status, const char* text) {
  auto response = std::make_shared<http::response<http::string_body>>(status, HTTP_VERSION);
  response->set(http::field::server, HTTP_SERVER);
  response->set(http::field::content_type, "text/plain");
  response->keep_alive(false);
  response->body() = std::string(text) + "\n";
  response->prepare_payload();
  auto self = shared_from_this();
  // The upgrade timer bounds the write too.
  http::async_write(socket_, *response,
                    [self, response](const ErrorCode&, size_t) { self->end("dropped"); });
}

void RingServer::Connection::onUpgraded(const ErrorCode& ec) {
  if (closed_) return;
  if (ec) {
    ringLog("%s dropped: WebSocket upgrade failed: %s", peer_.c_str(), ec.message().c_str());
    end("dropped");
    return;
  }
  stage_ = Stage::WEBSOCKET;
  upgradeTimer_.cancel();
  ringLog("%s WebSocket on %s", peer_.c_str(), dataLink_ ? DATALINK_PATH : SEEDLINK_PATH);
  request_.reset();
  buffer_.consume(buffer_.size());  // a client sends nothing before the upgrade's answer
  readMessage();
}

void RingServer::Connection::readRaw() {
  auto self = shared_from_this();
  socket_.async_read_some(buffer_.prepare(READ_CHUNK), [self](const ErrorCode& ec, size_t n) {
    if (self->closed_) return;
    if (ec) {
      self->end("closed");
      return;
    }
    self->buffer_.commit(n);
    const bool go = self->deliver(static_cast<const char*>(self->buffer_.data().data()), n, false);
    self->buffer_.consume(n);
    if (go) self->readRaw();
  });
}

void RingServer::Connection::readMessage() {
  auto self = shared_from_this();
  ws_->async_read(buffer_, [self](const ErrorCode& ec, size_t) {
    if (self->closed_) return;
    if (ec == websocket::error::message_too_big || ec == websocket::error::buffer_overflow) {
      ringLog("%s dropped: WebSocket message longer than %zu bytes", self->peer_.c_str(),
              MESSAGE_MAX);
      self->end("dropped");
      return;
    }
    if (ec) {
      self->end("closed");
      return;
    }
    const size_t n = self->buffer_.size();
    const bool go = self->deliver(static_cast<const char*>(self->buffer_.data().data()), n, true);
    self->buffer_.consume(n);
    if (go) self->readMessage();
  });
}

bool RingServer::Connection::deliver(const char* bytes, size_t n, bool message) {
  if (ending_) return false;  // the conversation is over: what comes now is ignored
  std::string answers;
  const bool go = message ? session_->receiveMessage(bytes, n, &answers)
                          : session_->receive(bytes, n, &answers);
  queue(std::move(answers));
  if (!go) {
    if (session_->why() != "ended") {
      ringLog("%s dropped: %s", peer_.c_str(), session_->why().c_str());
      end("dropped");
      return false;
    }
    ending_ = true;
  }
  if (pending_ > OUT_MAX) {
    ringLog("%s dropped: more than %zu bytes of answers wait", peer_.c_str(), OUT_MAX);
    end("dropped");
    return false;
  }
  pump();
  return !ending_ && !closed_;
}

void RingServer::Connection::queue(std::string&& bytes) {
  std::vector<size_t> ends;
  session_->takeMessageEnds(&ends);
  if (bytes.empty()) return;
  pending_ += bytes.size();
  if (!ws_) {
    out_.push_back(std::move(bytes));
    return;
  }
  size_t begin = 0;
  for (size_t end : ends) {
    if (end <= begin || end > bytes.size()) continue;
    out_.push_back(bytes.substr(begin, end - begin));
    begin = end;
  }
  if (begin < bytes.size()) out_.push_back(bytes.substr(begin));
}

void RingServer::Connection::pump() {
  if (closed_ || stage_ == Stage::FIRST_BYTES || stage_ == Stage::UPGRADE) return;
  if (!ending_ && session_->streaming() && pending_ < OUT_LOW) {
    std::string records;
    if (!session_->fill(&records, OUT_LOW)) ending_ = true;
    queue(std::move(records));
  }
  if (writing_) return;
  if (out_.empty()) {
    if (ending_) finish();
    return;
  }
  writing_ = true;
  lastProgress_ = time(nullptr);
  auto self = shared_from_this();
  auto written = [self](const ErrorCode& ec, size_t n) { self->onWritten(ec, n); };
  if (ws_) {
    ws_->async_write(asio::buffer(out_.front()), written);
  } else {
    socket_.async_write_some(
        asio::buffer(out_.front().data() + sendPos_, out_.front().size() - sendPos_), written);
  }
}

void RingServer::Connection::onWritten(const ErrorCode& ec, size_t n) {
  writing_ = false;
  if (closed_) return;
  if (ec) {
    end("closed");
    return;
  }
  lastProgress_ = time(nullptr);
  if (ws_) n = out_.front().size() - sendPos_;
  sendPos_ += n;
  pending_ -= n;
  if (sendPos_ == out_.front().size()) {
    out_.pop_front();
    sendPos_ = 0;
  }
  pump();
}

void RingServer::Connection::finish() {
  if (!ws_) {
    end("closed");
    return;
  }
  writing_ = true;
  lastProgress_ = time(nullptr);
  auto self = shared_from_this();
  ws_->async_close(websocket::close_code::normal,
                   [self](const ErrorCode&) { self->end("closed"); });
}

void RingServer::Connection::checkStall(time_t now) {
  if (closed_ || !writing_ || now - lastProgress_ <= CLIENT_STALL_SECS) return;
  ringLog("%s dropped: took nothing for %ld s", peer_.c_str(),
          static_cast<long>(CLIENT_STALL_SECS));
  end("dropped");
}

void RingServer::Connection::abandon() {
  closed_ = true;
  ErrorCode ignored;
  upgradeTimer_.cancel();
  socket().close(ignored);
}

void RingServer::Connection::end(const char* reason) {
  if (closed_) return;
  server_.transferLine(peer_, connected_, session_->recordsSent(), reason);
  abandon();
  loop_.remove(this);
}

// ---- RingServer

RingServer::RingServer(RingConf& conf)
    : conf_(conf),
      serverId_(conf.serverId()),
      logDir_(conf.transferLogDirectory()),
      store_(conf.ringSize()),
      maxClients_(std::clamp(conf.maxClients(), 1, MAX_CLIENTS_LIMIT)),
      loop_(std::make_unique<Loop>(*this)) {}

RingServer::~RingServer() = default;

bool RingServer::start() {
  for (const std::string& key : conf_.unknownKeys()) {
    ringLog("unknown configuration key ignored: %s", key.c_str());
  }
  const RingScan& scan = conf_.scan();
  if (scan.folder.empty()) ringLog("no MSeedScan folder configured: nothing is scanned");
  scan_ = std::make_unique<ScanState>(scan, [this](const uint8_t* record) {
    RecordHeader header;
    if (readRecordHeader(record, SL_RECORD_LENGTH, &header)) store_.add(record, header);
  });
  const bool haveState = scan_->load();
  if (!store_.open(conf_.ringDirectory(), haveState ? scan_->savedNextSeq() : 0)) {
    ringLog("cannot write the ring in %s", conf_.ringDirectory().c_str());
    return false;
  }
  ringLog("ring of %zu records, next sequence %llu", store_.size(),
          static_cast<unsigned long long>(store_.nextSeq()));
  mkdirs(logDir_, true);

  if (!loop_->listen(&loop_->seedLink_, conf_.seedLinkPort(), "SeedLink")) return false;
  // Without its DataLink port the server still serves SeedLink.
  if (conf_.dataLinkPort() > 0) loop_->listen(&loop_->dataLink_, conf_.dataLinkPort(), "DataLink");
  ringLog("at most %d clients", maxClients_);
  return true;
}

void RingServer::transferLine(const std::string& peer, time_t connected, uint64_t records,
                              const char* reason) {
  const time_t now = time(nullptr);
  const std::string path = gluePath(logDir_, "seedlink." + formatUtc(now, "%Y%m%d") + ".log");
  FILE* file = fopen(path.c_str(), "a");
  if (file == nullptr) return;
  fprintf(file, "%s %s %lds %llu records %s\n", formatUtc(now, "%Y-%m-%d %H:%M:%S").c_str(),
          peer.c_str(), static_cast<long>(now - connected),
          static_cast<unsigned long long>(records), reason);
  fclose(file);
}

void RingServer::save(bool force) {
  if (!stateDirty_ && !force) return;
  store_.sync();
  if (scan_->save(store_.nextSeq())) stateDirty_ = false;
}

void RingServer::run(const std::atomic<bool>& stop) {
  loop_->run(stop);
  if (scan_->scan() > 0) stateDirty_ = true;
  save(true);
  ringLog("stopped; ring saved with next sequence %llu",
          static_cast<unsigned long long>(store_.nextSeq()));
}
