// Shared by the gap store tests: whole-hour times in the recent past that
// stand in for "10:00", and the capturing log.
#ifndef VH_TESTS_GAPS_GAPTESTSUPPORT_H_
#define VH_TESTS_GAPS_GAPTESTSUPPORT_H_

#include <ctime>

#include "support/CaptureLog.h"

// The start of the hour hoursAgo hours before this one: a time whose
// gaps are due and inside a 24-hour backfill window.
inline time_t hourAgo(int hoursAgo) { return (time(nullptr) / 3600 - hoursAgo) * 3600; }

#endif  // VH_TESTS_GAPS_GAPTESTSUPPORT_H_
