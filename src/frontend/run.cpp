// run.cpp - banner, help text and the retry loop. The loop owns nothing but the try
// counter; every attempt works out the rest from the files on disk.
#include "frontend/run.h"

#include <cstdint>
#include <iostream>
#include <string>

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

}  // namespace

int run(int argc, const char* const* argv) {
  print_banner();
  if (argc != 3) {
    print_help(argc > 0 && argv[0] != nullptr ? argv[0] : "zobret");
    return -1;
  }
  // No pause and no limit: every failed attempt is answered by the next one at once.
  std::uint64_t tries = 1;
  for (;;) {
    log_line(std::cout, " Try #", tries);
    ++tries;
    if (copy_attempt(argv[1], argv[2]) == attempt_finished) break;
  }
  // Ends an open progress line, or leaves an empty one.
  console_write(std::cout, "\n");
  log_line(std::cout, " Complete.");
  return 0;
}

}  // namespace zobret
