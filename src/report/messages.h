// messages.h - every fixed text the tool shows, in one place: the banner, the help text,
// the log lines of the run and of its attempts, and the error lines. The texts themselves
// live in messages.cpp; a change of wording is a change of that one file. Informational
// lines go to standard output, error lines to standard error (see console.h).
#ifndef ZOBRET_REPORT_MESSAGES_H
#define ZOBRET_REPORT_MESSAGES_H

#include <cstdint>
#include <string>

namespace zobret {

// The four lines that open every run, on standard output.
void show_banner();
// The help text for a wrong command line, on standard error; program is argument 0.
void show_help(const std::string& program);

// The run's own lines.
void say_try(std::uint64_t number);
void say_complete();
// A ZOBRET_RETRY_PAUSE that is not a number of seconds up to longest.
void say_bad_pause(const char* text, long longest);

// An attempt's report of what it found.
void say_source(const char* path, std::uint64_t n);
void say_destination(const char* path, std::uint64_t k, std::uint64_t n);
void say_to_go(std::uint64_t bytes);
// Why the destination is compared whole with the source.
enum class compare_reason {
  differs,         // a byte of it differs from the source's at the same offset
  source_newer,    // the source was modified after the destination was last written, or
                   // too near that time to tell
  source_changed,  // the source is not the file, or not the size or age, it was at the
                   // run's first attempt
};
// The destination is to be compared whole (m bytes): why, and from where (0 for the
// start; a later offset when an earlier attempt of the run got that far).
void say_comparing(compare_reason why, std::uint64_t differs_at, std::uint64_t from,
                   std::uint64_t m);
// The comparison of m bytes is done; rewritten of them differed and were written again.
void say_compared(std::uint64_t m, std::uint64_t rewritten);

// The failures an attempt meets that name a file, each one error line.
enum class file_error {
  missing,              // the source does not exist
  no_read_access,       // the source may not be read
  directory,            // the file is a folder
  unmeasurable,         // its size cannot be read (or it is no file to measure)
  no_open_for_reading,  // the source cannot be opened
  no_open_for_writing,  // the destination cannot be created or opened
  no_write_access,      // the destination may not be read and written
  no_seek,              // the source cannot be positioned (the line names the destination)
  read,                 // a read failed, or the source ended early
  write,                // a write, sync or close of the destination failed
  changed,              // the source changed while it was copied
};
void say_error(file_error what, const char* path);
// The destination names the source file itself (the same path, a link to it, or a folder
// that holds it).
void say_same_file(const char* source, const char* destination);
// No call on the file at path has answered for so many seconds (a watchdog's line).
void say_waiting(const char* path, std::int64_t seconds);
// The one error that names no file: the destination is longer than the source.
void say_size_conflict();

// The line the progress display writes before the marks of a resume.
std::string skipping_line(std::uint64_t k);

}  // namespace zobret

#endif  // ZOBRET_REPORT_MESSAGES_H
