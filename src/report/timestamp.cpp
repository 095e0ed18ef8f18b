// timestamp.cpp - the log line's timestamp; leans on the platform's local-time query.
#include "report/timestamp.h"

#include <cstdio>
#include <cstring>

#include "report/platform.h"

namespace zobret {
namespace {

constexpr char placeholder[] = "00.00.0000 00:00:00";

}  // namespace

void format_timestamp(const std::tm& t, char* buf) {
  // Out-of-range fields (a year past 9999, a broken conversion) would widen the text.
  const bool in_range = t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_mon >= 0 && t.tm_mon <= 11 &&
                        t.tm_year >= -1900 && t.tm_year <= 9999 - 1900 && t.tm_hour >= 0 &&
                        t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 &&
                        t.tm_sec <= 60;
  if (!in_range) {
    std::memcpy(buf, placeholder, sizeof placeholder);
    return;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  std::memcpy(buf, text, timestamp_length + 1);  // every field is in range: 19 characters
}

const char* timestamp_now() {
  thread_local char buf[timestamp_length + 1];  // the watchdog writes lines too
  std::tm t{};
  if (local_time_now(&t) != 0) {
    std::memcpy(buf, placeholder, sizeof placeholder);
  } else {
    format_timestamp(t, buf);
  }
  return buf;
}

}  // namespace zobret
