#include "util/SafeName.h"

std::string safePathCode(const std::string& code) {
  std::string safe = code;
  for (char& c : safe) {
    if (c == '/' || c == '\\') c = SAFE_NAME_FILL;
  }
  if (!safe.empty() && safe[0] == '.') safe[0] = SAFE_NAME_FILL;
  return safe;
}
