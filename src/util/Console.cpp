#include "util/Console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "util/Text.h"
#include "util/TimeUtil.h"

std::atomic<bool> DOPRINTF{false};

void pprintf(const char* format, ...) {
  if (!DOPRINTF.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

void secprintf(const char* format, ...) {
  if (!DOPRINTF.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  // A local buffer instead of the shared console buffer: no thread can
  // overwrite another's message.
  std::string text = bounded(vsformat(format, args), SECPRINTF_MAX);
  va_end(args);
  pprintf("%6.3f - [%s]\n", getFloatSec(), text.c_str());
}
