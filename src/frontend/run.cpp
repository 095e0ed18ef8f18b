// run.cpp - banner, help text and the retry loop. The loop owns nothing but the try
// counter; every attempt works out the rest from the files on disk.
#include "frontend/run.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "copy/copy_attempt.h"
#include "report/console.h"

#ifndef ZOBRET_UPDATE_URL
#define ZOBRET_UPDATE_URL "https://zobret.example.org/releases"
#endif

namespace zobret {
namespace {

constexpr char example_server[] = "192.0.2.10";

void print_banner() {
  console_line(std::cout, "ZOBRET v1.1 :: Samba (Windows Network Downloader)");
  console_line(std::cout, "Copyright (c) the ZOBRET developers.");
  console_line(std::cout, std::string("Visit ") + ZOBRET_UPDATE_URL + " for updates.");
  console_line(std::cout, "");
}

void print_help(const std::string& p) {
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

// The longest pause between attempts that ZOBRET_RETRY_PAUSE may ask for: one day.
constexpr double longest_pause_seconds = 86400;

// Reads a pause in seconds: digits with an optional fraction ("2", "0.5", ".25"), at most
// longest_pause_seconds. 0 and *seconds, or -1 for anything else.
int parse_seconds(const std::string& text, double* seconds) {
  std::size_t digits = 0, points = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') ++digits;
    else if (c == '.') ++points;
    else return -1;
  }
  if (digits == 0 || points > 1) return -1;
  *seconds = std::strtod(text.c_str(), nullptr);  // only digits and one point: no surprises
  return *seconds <= longest_pause_seconds ? 0 : -1;
}

}  // namespace

int run(int argc, const char* const* argv) {
  print_banner();
  if (argc != 3) {
    print_help(argc > 0 && argv[0] != nullptr ? argv[0] : "zobret");
    return -1;
  }
  // By default no pause: every failed attempt is answered by the next one at once. A
  // long outage may ask for a pause between failed attempts instead.
  double pause = 0;
  const char* pause_text = std::getenv("ZOBRET_RETRY_PAUSE");
  if (pause_text != nullptr && *pause_text != '\0' && parse_seconds(pause_text, &pause) != 0) {
    log_line(std::cerr, " ERROR: ZOBRET_RETRY_PAUSE must be a number of seconds from 0 to ",
             static_cast<long>(longest_pause_seconds), ", such as 2 or 0.5, not \"", pause_text,
             "\".");
    return -1;
  }
  // No limit. Between attempts the run keeps nothing but the try counter and what it
  // learned about the destination's bytes (see run_memory).
  run_memory memory;
  std::uint64_t tries = 1;
  for (;;) {
    log_line(std::cout, " Try #", tries);
    ++tries;
    if (copy_attempt(argv[1], argv[2], &memory) == attempt_finished) break;
    if (pause > 0) std::this_thread::sleep_for(std::chrono::duration<double>(pause));
  }
  // Ends an open progress line, or leaves an empty one.
  console_write(std::cout, "\n");
  log_line(std::cout, " Complete.");
  return 0;
}

}  // namespace zobret
