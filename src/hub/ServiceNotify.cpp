#include "hub/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace ServiceNotify {

namespace {
// The loop pings at this fraction of the watchdog interval, so one late
// wake-up does not miss the deadline.
constexpr uint64_t PINGS_PER_INTERVAL = 2;
constexpr uint64_t MICROSECONDS_PER_MILLISECOND = 1000;
}  // namespace

std::chrono::milliseconds watchdogPingInterval() {
  uint64_t usec = 0;
  // 0 leaves the environment as it is; the manager takes watchdog pings
  // from the service's main process only (NotifyAccess=main).
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::milliseconds(0);
  uint64_t ms = usec / PINGS_PER_INTERVAL / MICROSECONDS_PER_MILLISECOND;
  return std::chrono::milliseconds(ms > 0 ? ms : 1);
}

void ready() { sd_notify(0, "READY=1"); }
void watchdog() { sd_notify(0, "WATCHDOG=1"); }
void stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace ServiceNotify
