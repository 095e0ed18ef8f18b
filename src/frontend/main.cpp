// main.cpp - entry point of zobret on POSIX systems (Windows: main_win32.cpp): sets up
// the console and hands over to run().
#include "frontend/run.h"
#include "report/platform.h"

int main(int argc, char** argv) {
  zobret::console_init();
  return zobret::run(argc, argv);
}
