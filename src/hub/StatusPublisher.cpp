#include "hub/StatusPublisher.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "core/VhProps.h"
#include "hub/HubStatus.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

constexpr char METRICS_PATH[] = "/metrics";
constexpr char STATUS_PATH[] = "/status";
constexpr char METRICS_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char STATUS_TYPE[] = "application/json";
constexpr char TEXT_TYPE[] = "text/plain; charset=utf-8";
constexpr char ONLY_GET[] = "Only GET is served here.\n";
constexpr char NOT_FOUND[] = "Not found. Pages: /metrics and /status.\n";
constexpr int PORT_MAX = 65535;

int64_t steadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const char* type, bool allowGet) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (allowGet) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET");
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

// The server's request handler, on the server's thread. Every request is
// answered at its first call, before any body is read.
MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*uploadData*/, size_t* /*uploadSize*/,
                  void** /*requestState*/) {
  StatusPublisher* publisher = static_cast<StatusPublisher*>(cls);
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0)
    return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, ONLY_GET, TEXT_TYPE, true);
  if (strcmp(url, METRICS_PATH) == 0)
    return reply(connection, MHD_HTTP_OK, publisher->metricsPage(), METRICS_TYPE, false);
  if (strcmp(url, STATUS_PATH) == 0)
    return reply(connection, MHD_HTTP_OK, publisher->statusJson(), STATUS_TYPE, false);
  return reply(connection, MHD_HTTP_NOT_FOUND, NOT_FOUND, TEXT_TYPE, false);
}

}  // namespace

void StatusPublisher::DaemonStop::operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }

StatusPublisher::StatusPublisher(VhProps* props, Log* log)
    : props_(props), log_(log), startSteadySeconds_(steadySeconds()) {}

StatusPublisher::~StatusPublisher() { stop(); }

void StatusPublisher::start() {
  const int port = props_->getIntKey("metricsport");
  if (port > 0 && port <= PORT_MAX) {
    if (startServer(port)) {
      metricsPort_ = port;
      // Interface log line
      logLine(log_, LOG_FLUSH, "Metrics server on 127.0.0.1 port %d", port);
    } else {
      // Interface log line
      logLine(log_, LOG_FLUSH, "Metrics server could not start on port %d", port);
    }
  } else if (port != 0) {
    logLine(log_, LOG_FLUSH, "metricsport=%d is not a port: no metrics server", port);
  }
  {
    MutexLock lock(mu_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

bool StatusPublisher::startServer(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon_.reset(
      MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, static_cast<uint16_t>(port),
                       nullptr, nullptr, &answer, this, MHD_OPTION_SOCK_ADDR,
                       reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT,
                       METRICS_CONNECTIONS_MAX, MHD_OPTION_CONNECTION_TIMEOUT, METRICS_TIMEOUT_SECS,
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, METRICS_REQUEST_MAX, MHD_OPTION_END));
  return daemon_ != nullptr;
}

void StatusPublisher::stop() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  daemon_.reset();
  metricsPort_ = 0;
}

void StatusPublisher::run() {
  pthread_setname_np(pthread_self(), "status");
  for (;;) {
    writeStatusFile();
    MutexLock lock(mu_);
    const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(STATUS_WRITE_SECS);
    if (mu_.waitUntil(cv_, next, [this]() REQUIRES(mu_) { return stopping_; })) return;
  }
}

std::string StatusPublisher::statusJson() {
  const HubFigures hub = gatherHubFigures(props_, startSteadySeconds_);
  return renderStatusJson(hub, LinkRegistry::instance().links(hub.now));
}

std::string StatusPublisher::metricsPage() {
  const HubFigures hub = gatherHubFigures(props_, startSteadySeconds_);
  return renderMetrics(hub, LinkRegistry::instance().links(hub.now));
}

bool StatusPublisher::writeStatusFile() {
  const std::string path = BASE_DIR + STATUS_FILE_NAME;
  const std::string temporary = BASE_DIR + "." + STATUS_FILE_NAME + ".tmp";
  const std::string text = statusJson();
  bool ok = false;
  FILE* f = fopen(temporary.c_str(), "w");
  if (f != nullptr) {
    ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    chmod(temporary.c_str(), MODE_SHARED_FILE);
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) removeFile(temporary);
  }
  if (!ok && !writeFailed_) {
    // Interface log line
    logLine(log_, LOG_FLUSH, "Status file %s could not be written", path.c_str());
  }
  writeFailed_ = !ok;
  return ok;
}
