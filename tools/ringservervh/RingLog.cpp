#include "RingLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "util/TimeUtil.h"

namespace {
constexpr size_t LOG_TEXT_MAX = 600;
}  // namespace

void ringLog(const char* format, ...) {
  char text[LOG_TEXT_MAX];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fprintf(stderr, "%s ringservervh: %s\n", formatUtc(time(nullptr), "%Y-%m-%d %H:%M:%S").c_str(),
          text);
}
