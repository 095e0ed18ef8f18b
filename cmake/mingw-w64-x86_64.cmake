# mingw-w64-x86_64.cmake - builds zobret.exe for 64-bit Windows with MinGW-w64, statically
# linked. From Linux it cross-compiles (posix threads flavour, Debian's
# g++-mingw-w64-x86-64-posix) and runs the built programs under Wine, so that CTest can run
# the Windows test binary. On Windows it builds natively with the MinGW-w64 gcc on the PATH
# (MSYS2's MINGW64 shell with mingw-w64-x86_64-gcc), and the tests run as they are.
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Windows")
  # Not a cross build: CMAKE_SYSTEM_NAME stays unset, so CMake takes the host's.
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
  set(CMAKE_RC_COMPILER windres)
else()
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)

  set(ZOBRET_MINGW_TRIPLE x86_64-w64-mingw32)
  set(CMAKE_C_COMPILER ${ZOBRET_MINGW_TRIPLE}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${ZOBRET_MINGW_TRIPLE}-g++-posix)
  set(CMAKE_RC_COMPILER ${ZOBRET_MINGW_TRIPLE}-windres)

  # Look for libraries and headers in the MinGW sysroot only, for programs on the host.
  set(CMAKE_FIND_ROOT_PATH /usr/${ZOBRET_MINGW_TRIPLE})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

  # CTest (and test discovery) start Windows programs through Wine.
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()

# Link the C and C++ runtimes and winpthread in, so zobret.exe needs only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
