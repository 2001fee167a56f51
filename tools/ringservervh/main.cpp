// ringservervh <configuration file>: serves the miniSEED records that appear
// in the configuration's scan folder to SeedLink clients (see Server.h). The
// hub's ring server outlet runs it; SIGTERM and SIGINT end it after the ring
// and the scan state are saved.
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "Server.h"
#include "core/RingConf.h"

namespace {
std::atomic<bool> stopFlag{false};
void onStop(int) { stopFlag.store(true); }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ringservervh <ring.conf>\n");
    return 2;
  }
  RingConf conf;
  if (!conf.read(argv[1])) {
    ringLog("cannot read %s", argv[1]);
    return 1;
  }
  if (conf.watchParent()) prctl(PR_SET_PDEATHSIG, SIGTERM);
  struct sigaction action {};
  action.sa_handler = onStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  RingServer server(conf);
  if (!server.start()) return 1;
  server.run(stopFlag);
  return 0;
}
