#include "archive/RingOutlet.h"

#include <atomic>

namespace {
std::atomic<RingOutlet*> installed{nullptr};
}  // namespace

RingOutlet* getRingOutlet() { return installed.load(); }

void setRingOutlet(RingOutlet* outlet) { installed.store(outlet); }
