#include "util/Random.h"

#include <cstdlib>
#include <ctime>

#include "util/TimeUtil.h"

namespace {
constexpr time_t SEED_MODULUS = 10000;
constexpr int64_t MILLIS_PER_SECOND = 1000;

// (generator + milliseconds within the second) mod n, in 64 bits so the sum
// cannot overflow near RAND_MAX.
int draw(int n) {
  int64_t millis = getMillisec() % MILLIS_PER_SECOND;
  return static_cast<int>((static_cast<int64_t>(rand()) + millis) % n);
}
}  // namespace

void seedrand() { srand(static_cast<unsigned>(time(nullptr) % SEED_MODULUS)); }

int randn(int n) {
  if (n < 1) return 0;
  int r = draw(n);
  if (r == 0) r = draw(n);
  return r == 0 ? 1 : r;
}
