// The log line's timestamp: time zone re-read per line, zero padding, placeholder.
#include <cstdlib>

#include "report/timestamp.h"
#include "test_util.h"

namespace zobret {
namespace {

using LogLineTest = zobret_test::CoutCapture;

TEST_F(LogLineTest, TimeZoneIsReadAfreshForEveryLine) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  // POSIX-style zones, the form that both glibc and the Windows C runtime parse.
  zobret_test::set_env("TZ", "UTC0");
  const std::string utc = timestamp_now();
  zobret_test::set_env("TZ", "JST-9");
  const std::string jst = timestamp_now();
  zobret_test::set_env("TZ", old ? saved.c_str() : nullptr);
  ASSERT_EQ(19u, utc.size());
  const int utc_hour = std::stoi(utc.substr(11, 2));
  const int jst_hour = std::stoi(jst.substr(11, 2));
  if (utc.substr(14) == jst.substr(14)) {  // not straddling a minute
    EXPECT_EQ((utc_hour + 9) % 24, jst_hour) << utc << " vs " << jst;
  }
}

TEST(TimestampTest, FormatsZeroPaddedOrPlaceholder) {
  struct Case {
    int year, mon, mday, hour, min, sec;
    const char* text;
  } const cases[] = {
      {2000, 12, 5, 22, 21, 35, "05.12.2000 22:21:35"},
      {2026, 1, 1, 0, 0, 0, "01.01.2026 00:00:00"},
      {10000, 1, 1, 0, 0, 0, "00.00.0000 00:00:00"},  // would not fit 19 characters
      {2026, 13, 1, 0, 0, 0, "00.00.0000 00:00:00"},
  };
  for (const Case& c : cases) {
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.mon - 1;
    t.tm_mday = c.mday;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    char buf[timestamp_length + 1];
    format_timestamp(t, buf);
    EXPECT_STREQ(c.text, buf);
  }
}

}  // namespace
}  // namespace zobret
