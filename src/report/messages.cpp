// messages.cpp - the texts of every line the tool shows, and the stream each goes to.
//
// Users' scripts match these lines, so their wording is part of the tool. "erorr occured"
// and "existant" are the tool's own spelling, which such scripts match too: they are not
// to be corrected.
#include "report/messages.h"

#include <iostream>

#include "report/console.h"

#ifndef ZOBRET_UPDATE_URL
#define ZOBRET_UPDATE_URL "https://zobret.example.org/releases"
#endif

namespace zobret {
namespace {

constexpr char example_server[] = "192.0.2.10";

// An error line that names a file: the text before the path and the text after it.
struct around_path {
  const char* before;
  const char* after;
};

around_path text_of(file_error what) {
  switch (what) {
    case file_error::missing:
      return {" ERROR: The file ", " doesn't seem to be existant."};
    case file_error::no_read_access:
      return {" ERROR: Unable to get reading access to the file ", "."};
    case file_error::directory:
      return {" ERROR: The file ", " is a directory."};
    case file_error::unmeasurable:
      return {" ERROR: Unable to get the size of the file ", "."};
    case file_error::no_open_for_reading:
      return {" ERROR: Unable to open the file ", " for reading."};
    case file_error::no_open_for_writing:
      return {" ERROR: Unable to open the file ", " for writing."};
    case file_error::no_write_access:
      return {" ERROR: Unable to get writing access to the file ", "."};
    case file_error::no_seek:
      return {" ERROR: Unable to seek to position in the file ", " for writing."};
    case file_error::read:
      return {" ERROR: An erorr occured while reading the file ", "."};
    case file_error::write:
      return {" ERROR: An erorr occured while writing the file ", "."};
    case file_error::changed:
      return {" ERROR: The file ", " changed while it was copied."};
  }
  return {" ERROR: ", "."};
}

}  // namespace

void show_banner() {
  console_line(std::cout, "ZOBRET v1.1 :: Samba (Windows Network Downloader)");
  console_line(std::cout, "Copyright (c) the ZOBRET developers.");
  console_line(std::cout, std::string("Visit ") + ZOBRET_UPDATE_URL + " for updates.");
  console_line(std::cout, "");
}

void show_help(const std::string& p) {
  const std::string indent(10, ' ');
  const std::string share = std::string("\\\\") + example_server + "\\share\\bigfile.zip";
  const std::string lines[] = {
      "That small application just helps people to download and upload files via",
      "Samba (Windows Network) under Windows. Under other platforms like UN*X",
      "you may use it to download/upload files via NFS (Network File System) or",
      "any other protocol that allows to mount a remote network resource/share",
      "to a local drive/partiton/mount point.",
      "",
      "The application is very useful if you have the Samba/Windows/NFS network",
      "with the big load and the slow connection speed. The application supports",
      "resume - it's just a copying application that allows you to stop the copying",
      "and to continue it at any time from the position where you stopped.",
      "",
      "For me it was very useful to transfer big files with size about 1 gigabyte",
      "over the our intranet through Samba from Germany to Belarus and from Belarus",
      "to Germany. If remote file is not available the application will try to",
      "download it until the job is done :) See the example:",
      "",
      "USAGE: " + p + " <PATH TO SOURCE> <PATH TO DESTINATION>",
      "",
      "EXAMPLES: " + p + " .\\bigfile.zip " + share,
      indent + p + " " + share + " .\\bigfile.zip",
      indent + p + " Z:\\bigfile.zip C:\\TEMP\\bigfile.zip",
      indent + p + " /mnt/remote/bigfile.zip /usr/bigfile.zip",
  };
  for (const std::string& line : lines) console_line(std::cerr, line);
}

void say_try(std::uint64_t number) { log_line(std::cout, " Try #", number); }

void say_complete() { log_line(std::cout, " Complete."); }

void say_bad_pause(const char* text, long longest) {
  log_line(std::cerr, " ERROR: ZOBRET_RETRY_PAUSE must be a number of seconds from 0 to ", longest,
           ", such as 2 or 0.5, not \"", text, "\".");
}

void say_source(const char* path, std::uint64_t n) {
  log_line(std::cout, " Source file: ", path, " (", n, " bytes).");
}

void say_destination(const char* path, std::uint64_t k, std::uint64_t n) {
  log_line(std::cout, " Destination file: ", path, " (", k, " of ", n, " bytes).");
}

void say_to_go(std::uint64_t bytes) { log_line(std::cout, " Total ", bytes, " bytes to go."); }

void say_comparing(compare_reason why, std::uint64_t differs_at, std::uint64_t from,
                   std::uint64_t m) {
  if (from > 0) {
    log_line(std::cout, " Comparing the destination with the source again from byte ", from, " of ",
             m, ".");
    return;
  }
  switch (why) {
    case compare_reason::differs:
      log_line(std::cout, " The destination differs from the source at byte ", differs_at,
               ": comparing all ", m, " bytes of it with the source.");
      return;
    case compare_reason::source_newer:
      log_line(std::cout,
               " The source may have changed since the destination was written: "
               "comparing all ",
               m, " bytes of the destination with the source.");
      return;
    case compare_reason::source_changed:
      log_line(std::cout, " The source has changed since the first attempt: comparing all ", m,
               " bytes of the destination with the source.");
      return;
  }
}

void say_compared(std::uint64_t m, std::uint64_t rewritten) {
  if (rewritten == 0)
    log_line(std::cout, " Compared ", m, " bytes: all of them matched the source.");
  else
    log_line(std::cout, " Compared ", m, " bytes: ", rewritten,
             " bytes that differed were written again.");
}

void say_error(file_error what, const char* path) {
  const around_path text = text_of(what);
  log_line(std::cerr, text.before, path, text.after);
}

void say_same_file(const char* source, const char* destination) {
  log_line(std::cerr, " ERROR: The file ", destination, " is the source file ", source,
           " itself: nothing is copied.");
}

void say_waiting(const char* path, std::int64_t seconds) {
  // 60 s, 5 min, 15 min, 1 h, 2 h: the waiting lines' own times read best so.
  std::string span;
  if (seconds < 120) span = std::to_string(seconds) + " s";
  else if (seconds % 3600 != 0) span = std::to_string(seconds / 60) + " min";
  else span = std::to_string(seconds / 3600) + " h";
  log_line(std::cerr, " Waiting for the file ", path, ": no answer for ", span, ".");
}

void say_size_conflict() {
  log_line(std::cerr, " ERROR: Destination file size is bigger than source file size.");
}

std::string skipping_line(std::uint64_t k) { return "Skipping " + std::to_string(k) + " bytes.\n"; }

}  // namespace zobret
