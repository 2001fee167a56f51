#include "gaps/Gap.h"

#include "util/Text.h"
#include "util/TimeUtil.h"

const char* const Gap::ACTIONS[Gap::ACTION_COUNT] = {
    "BLDTRI", "DLTRIG", "REQHIS", "DELHIS", "DLREQU",  "UPLREQ",
    "DLBACK", "DLFILE", "EIGHT ", "NINE  ", "ALMOST ", "LAST  ",
};

namespace {

constexpr char BIG_TIME_FORMAT[] = "%Y%m%d_%H%M_%S";

// t rounded down to the start of its minute (also for times before 1970).
time_t minuteOf(time_t t) { return t - ((t % GAP_MINUTE) + GAP_MINUTE) % GAP_MINUTE; }

bool isMinuteAction(Gap::GapAction action) {
  return action == Gap::DLTRIG || action == Gap::DLREQU || action == Gap::DLBACK;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void skipBlanks(const std::string& text, size_t& pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
}

// Reads one whole decimal number at pos: an optional sign and digits, ended
// by the end of the text, a blank or "#". Values beyond GAP_TIME_MAX in size
// stop accumulating and are reported as GAP_TIME_MAX + 1 (with their sign).
bool readNumber(const std::string& text, size_t& pos, long long& value) {
  size_t p = pos;
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) negative = text[p++] == '-';
  size_t digitsStart = p;
  long long v = 0;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
    if (v <= GAP_TIME_MAX) v = v * 10 + (text[p] - '0');
    if (v > GAP_TIME_MAX) v = GAP_TIME_MAX + 1;
    ++p;
  }
  if (p == digitsStart) return false;
  if (p < text.size() && !isBlank(text[p]) && text[p] != '#') return false;
  value = negative ? -v : v;
  pos = p;
  return true;
}

std::unique_ptr<Gap> refuse(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return nullptr;
}

// Actions outside 0..LAST are shown as ALMOST (negative) or LAST.
int clampAction(int action) {
  if (action < 0) return Gap::ALMOST;
  if (action > Gap::LAST) return Gap::LAST;
  return action;
}

}  // namespace

Gap::Gap(GapAction action, time_t popTime, time_t start, time_t end)
    : action_(action), popTime_(popTime), start_(start), end_(end) {}

Gap::Gap(time_t start, time_t end, GapAction action) : action_(action) {
  if (isMinuteAction(action)) {
    start_ = minuteOf(start);
    end_ = minuteOf(end) + GAP_MINUTE - 1;
    popTime_ = minuteOf(end) + GAP_MINUTE;
  } else if (action == UPLREQ) {
    start_ = start;
    end_ = end;
    popTime_ =
        time(nullptr) + ((end + GAP_UPLOAD_ROUNDING - start) / GAP_MINUTE) * GAP_UPLOAD_PER_MINUTE;
  } else {
    start_ = start;
    end_ = end;
    popTime_ = end;
  }
}

Gap::Gap(const std::string& text1, const std::string& text2)
    : action_(DLFILE), text1_(text1), text2_(text2) {
  time_t t = time(nullptr) - 1;
  popTime_ = start_ = end_ = t;
}

Gap::~Gap() = default;

std::unique_ptr<Gap> Gap::fromLine(const std::string& line, std::string* why, bool needAction) {
  long long numbers[4];
  int count = 0;
  size_t pos = 0;
  while (count < 4) {
    skipBlanks(line, pos);
    if (pos >= line.size() || line[pos] == '#') break;
    if (!readNumber(line, pos, numbers[count])) return refuse(why, "not a number");
    ++count;
  }
  if (count < 3) return refuse(why, "fewer than three numbers");
  if (count < 4 && needAction) return refuse(why, "no action");
  long long start = numbers[1];
  long long end = numbers[2];
  long long action = count == 4 ? numbers[3] : static_cast<long long>(BLDTRI);
  if (start < 0 || start > GAP_TIME_MAX || end < 0 || end > GAP_TIME_MAX) {
    return refuse(why, "time out of range");
  }
  if (end < start) return refuse(why, "end before start");
  if (action < BLDTRI || action >= DLFILE) return refuse(why, "action not restorable");
  // Loading makes the old end the pop time and adds a minute to the end.
  return std::unique_ptr<Gap>(new Gap(static_cast<GapAction>(action), static_cast<time_t>(end),
                                      static_cast<time_t>(start),
                                      static_cast<time_t>(end) + GAP_MINUTE));
}

bool Gap::operator==(const Gap& other) const {
  return action_ == other.action_ && popTime_ == other.popTime_ && start_ == other.start_ &&
         end_ == other.end_;
}

bool Gap::overlaps(const Gap& other) const {
  return action_ == other.action_ && other.start_ <= end_ + GAP_TOUCH &&
         start_ <= other.end_ + GAP_TOUCH;
}

void Gap::merge(const Gap& other) {
  if (other.popTime_ > popTime_) popTime_ = other.popTime_;
  if (other.start_ < start_) start_ = other.start_;
  if (other.end_ > end_) end_ = other.end_;
}

const char* Gap::actionName(int action) { return ACTIONS[clampAction(action)]; }

std::string Gap::toString() const {
  int action = clampAction(action_);
  return sformat("%ld %ld %ld %d    #%s  %s  %s  %s", static_cast<long>(popTime_),
                 static_cast<long>(start_), static_cast<long>(end_), action,
                 time_tToStr(popTime_).c_str(), time_tToStr(start_).c_str(),
                 time_tToStr(end_).c_str(), ACTIONS[action]);
}

std::string Gap::bigString() const {
  return sformat(
      "%s pop:%s %s->%s", actionName(action_), formatUtc(popTime_, BIG_TIME_FORMAT).c_str(),
      formatUtc(start_, BIG_TIME_FORMAT).c_str(), formatUtc(end_, BIG_TIME_FORMAT).c_str());
}
