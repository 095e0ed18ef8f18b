# version_record_test.cmake - reads the version record back from the built zobret.exe
# and checks every field, including that its comment matches the program's own help,
# and that the manifest declares it long-path aware.
#   cmake -DWINDRES=... -DEXE=zobret.exe -DVERSION=1.1.0.0 [-DEMULATOR=wine] -P this file
foreach(var WINDRES EXE VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(failures 0)
function(expect what pattern)
  string(FIND "${record}" "${pattern}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${what}: the record lacks\n  ${pattern}")
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
  endif()
endfunction()

execute_process(COMMAND "${WINDRES}" -J coff -i "${EXE}" -O rc
                OUTPUT_VARIABLE record ERROR_VARIABLE windres_err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${WINDRES} could not read ${EXE}: ${windres_err}")
endif()

string(REPLACE "." ", " numbers "${VERSION}")
if(NOT numbers MATCHES "^[0-9]+, [0-9]+, [0-9]+, [0-9]+$")
  message(FATAL_ERROR "project version ${VERSION} does not have four parts")
endif()
expect("file version (numbers)" "FILEVERSION ${numbers}\n")
expect("product version (numbers)" "PRODUCTVERSION ${numbers}\n")
expect("operating system" "FILEOS 0x40004\n")   # VOS_NT_WINDOWS32
expect("file type" "FILETYPE 0x1\n")            # VFT_APP
expect("file version" "VALUE \"FileVersion\", \"${VERSION}\"\n")
expect("product version" "VALUE \"ProductVersion\", \"${VERSION}\"\n")
expect("description"
       "VALUE \"FileDescription\", \"ZOBRET :: Samba (Windows Network Downloader) for Windows\"\n")
expect("internal name" "VALUE \"InternalName\", \"zobret\"\n")
expect("file name" "VALUE \"OriginalFilename\", \"zobret.exe\"\n")
expect("language" "VALUE \"Translation\", 0x409, 1200\n")
expect("manifest" "1 24 /* RT_MANIFEST */\n")
expect("long paths" "<longPathAware xmlns=\"\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\"\">true</longPathAware>")

# The comment is help line 1, CR LF (windres prints them as \r\n), and the first sentence
# of help line 2: take both from the program itself, so the record cannot drift from it.
execute_process(COMMAND ${EMULATOR} "${EXE}" OUTPUT_VARIABLE banner ERROR_VARIABLE help)
string(REPLACE "\r\n" "\n" help "${help}")
string(REPLACE "\r\n" "\n" banner "${banner}")
if(NOT help MATCHES "^([^\n]+)\n([^.\n]+\\.) ")
  message(FATAL_ERROR "unexpected help text:\n${help}")
endif()
expect("comment" "VALUE \"Comments\", \"${CMAKE_MATCH_1}\\r\\n${CMAKE_MATCH_2}\"\n")
expect("comment (text)"
       "That small application just helps people to download and upload files via\\r\\nSamba (Windows Network) under Windows.\"")

# The banner names the same version, major.minor.
string(REGEX MATCH "^[0-9]+\\.[0-9]+" short "${VERSION}")
if(NOT banner MATCHES "^ZOBRET v${short} ")
  message(SEND_ERROR "the banner does not name version ${short}:\n${banner}")
  math(EXPR failures "${failures} + 1")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} field(s) wrong in the version record of ${EXE}:\n${record}")
endif()
message(STATUS "version record of ${EXE} is complete:\n${record}")
