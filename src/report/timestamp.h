// timestamp.h - the 19-character local time that opens every log line.
#ifndef ZOBRET_REPORT_TIMESTAMP_H
#define ZOBRET_REPORT_TIMESTAMP_H

#include <ctime>

namespace zobret {

constexpr int timestamp_length = 19;

// Formats t as "dd.mm.yyyy hh:mm:ss" into buf (at least timestamp_length + 1 bytes).
// A time that does not fit the 19 characters gives "00.00.0000 00:00:00".
void format_timestamp(const std::tm& t, char* buf);

// The current local time, the TZ setting re-read at every call. The text lives in one
// buffer per thread that its next call overwrites: use it at once.
const char* timestamp_now();

}  // namespace zobret

#endif  // ZOBRET_REPORT_TIMESTAMP_H
