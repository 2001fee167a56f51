// The hub's messages to the service manager (systemd, Type=notify), through
// libsystemd's sd_notify. Every call is a no-op when NOTIFY_SOCKET is not set,
// so the hub run by hand behaves as before.
//
// Protocol: "READY=1" once the listeners and serial watchers are up;
// "WATCHDOG=1" from the main wait loop, at least every half of the interval
// that the manager gives in WATCHDOG_USEC (the loop waits no longer than
// watchdogPingInterval()); "STOPPING=1" when the orderly stop begins.
//
// Thread safety: called from the main thread only; holds no state.
#ifndef VH_HUB_SERVICENOTIFY_H_
#define VH_HUB_SERVICENOTIFY_H_

#include <chrono>

namespace ServiceNotify {

// Half the watchdog interval the manager asked for (WATCHDOG_USEC, when the
// watchdog is meant for this process); zero when there is no watchdog.
std::chrono::milliseconds watchdogPingInterval();

void ready();
void watchdog();
void stopping();

}  // namespace ServiceNotify

#endif  // VH_HUB_SERVICENOTIFY_H_
