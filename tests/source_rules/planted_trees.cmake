# The layer rules (cmake/source_rules.cmake) on small planted trees: a clean tree that
# uses every allowed form of include passes, and each planted break is refused with its
# file, its line and the rule it breaks, and leaves no stamp behind.
#   cmake -DRULES=<source_rules.cmake> -DWORK=<scratch folder> -P planted_trees.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT RULES OR NOT WORK)
  message(FATAL_ERROR "usage: cmake -DRULES=<source_rules.cmake> -DWORK=<folder> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
set(tree ${WORK}/src)
set(stamp ${WORK}/rules.stamp)
set(failures)

# Each layer in a few lines, including what must not count: system headers, includes
# of a folder's own files by every form, window calls named in comments and strings,
# and app, which may do everything.
function(plant_clean_tree)
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/util/handle.h "#pragma once\n#include <windows.h>\n")
  file(WRITE ${tree}/util/paths.h "#pragma once\n#include <string>\n")
  file(WRITE ${tree}/util/paths.cpp "#include \"util/paths.h\"\n#include \"handle.h\"\n")
  file(WRITE ${tree}/text/text.h "#pragma once\n")
  file(WRITE ${tree}/text/text.cpp "#include \"text/text.h\"\n#include <util/paths.h>\n")
  file(WRITE ${tree}/images/discovery.h "#pragma once\n#include \"../util/paths.h\"\n")
  file(WRITE ${tree}/images/discovery.cpp "#include \"images/discovery.h\"\n  #include \"util/handle.h\"\n")
  file(WRITE ${tree}/device/pipe_io.h "#pragma once\n# include \"util/handle.h\"\n")
  file(WRITE ${tree}/device/pipe_io.cpp [=[
#include "pipe_io.h"
#include <setupapi.h>

// The window shows the failure (MessageBoxW(owner, ...)), never this code.
/* Neither CreateWindowExW(...) here
   nor ShowWindow(h, SW_SHOW), in a comment of several lines. */
static const char* kWhy = "SetWindowTextW( is app's"; // EnableWindow(
static const char kQuote = '"'; static int Bytes(int n) { return n * 2; }
int PipeBytes() { return Bytes(/* not SendMessageW( */ 4); }
]=])
  file(WRITE ${tree}/flash/download.h "#pragma once\n#include \"device/pipe_io.h\"\n#include \"images/discovery.h\"\n")
  file(WRITE ${tree}/flash/download.cpp [=[
#include "flash/download.h"
#include "../util/paths.h"
#include <device/pipe_io.h>
#include <vector>
// Progress goes out through the events: the window sets its own texts.
void Report(int percent) { SetProgress(percent); }
]=])
  file(WRITE ${tree}/res/resource.h "#pragma once\n#define IDD_MAIN 100\n")
  file(WRITE ${tree}/app/main_window.h "#pragma once\n#include \"flash/download.h\"\n")
  file(WRITE ${tree}/app/main_window.cpp [=[
#include "main_window.h"
#include "app/update.h"
#include "../res/resource.h"
#include <text/text.h>
#include "device/pipe_io.h"
#include "images/discovery.h"
#include "util/handle.h"
void Show(HWND h) {
  ShowWindow(h, SW_SHOW);
  SetDlgItemTextW(h, 1, L"x");
  MessageBoxW(h, L"x", L"y", MB_OK);
}
]=])
  file(WRITE ${tree}/app/update.h "#pragma once\n")
  file(WRITE ${tree}/app/update.cpp "#include \"update.h\"\n#include \"flash/download.h\"\n")
endfunction()

function(run_rules rc_var out_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -DR47_SOURCES=${tree} -DR47_STAMP=${stamp} -P ${RULES}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${rc_var} "${rc}" PARENT_SCOPE)
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

# refused(<messages> <file> <text> [<file> <text>...]): the clean tree with these files
# written over it (each behind two lines, so that a break on the text's first line is
# line 3) must be refused with every message, each given as "<file>:<line>: <rule>...".
# A text writes ";" as "@", which a CMake list would split on.
function(refused expected)
  plant_clean_tree()
  set(files ${ARGN})
  while(files)
    list(POP_FRONT files file text)
    string(REPLACE "@" ";" text "${text}")
    file(WRITE ${tree}/${file} "// planted\n\n${text}")
  endwhile()
  file(WRITE ${stamp} "from an earlier run\n")
  run_rules(rc out)
  set(missing)
  foreach(message ${expected})
    string(FIND "${out}" "${tree}/${message}" at)
    if(at EQUAL -1)
      list(APPEND missing "${message}")
    endif()
  endforeach()
  if(rc EQUAL 0 OR missing OR EXISTS ${stamp})
    if(EXISTS ${stamp})
      set(stamp_left "a stamp left behind")
    else()
      set(stamp_left "no stamp")
    endif()
    list(JOIN missing "\n    " missing)
    set(failures ${failures} "${ARGV1}: exit code ${rc}, ${stamp_left}, messages missing:\n    ${missing}\n  output:\n${out}" PARENT_SCOPE)
  endif()
endfunction()

plant_clean_tree()
run_rules(rc out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${stamp})
  list(APPEND failures "the clean tree was refused (exit code ${rc}) or left no stamp:\n${out}")
endif()

# An include against the direction, in each form.
refused("device/planted.cpp:3: layer direction: device includes flash/download.h, but device may use only util"
  device/planted.cpp "  #include \"flash/download.h\"\n")
refused("util/planted.cpp:3: layer direction: util includes images/discovery.h, but util may use nothing"
  util/planted.cpp "# include \"images/discovery.h\"\n")
refused("images/planted.h:3: layer direction: images includes device/pipe_io.h"
  images/planted.h "#include \"../device/pipe_io.h\"\n")
refused("text/planted.cpp:3: layer direction: text includes app/main_window.h"
  text/planted.cpp "#include <app/main_window.h>\n")
refused("device/planted.cpp:4: layer direction: device includes images/discovery.h"
  device/planted.cpp "#include <windows.h>\n\t#  include   <images/discovery.h>  // the found image's path\n")
refused("flash/planted.cpp:3: layer direction: flash includes text/text.h, but flash may use only device, images, util"
  flash/planted.cpp "#include \"text/text.h\"\n")

# Include cycles: through bare includes, and between units whose headers alone do not
# include each other (a header and its source file are one unit).
refused("app/update.h:3: include cycle: app/update includes app/main_window, which leads back (app/main_window -> app/update -> app/main_window)"
  app/update.h "#include \"main_window.h\"\n")
refused("images/checksum.cpp:4: include cycle: images/checksum includes images/discovery;images/discovery.cpp:3: include cycle: images/discovery includes images/checksum"
  images/checksum.h "#pragma once\n"
  images/checksum.cpp "#include \"images/checksum.h\"\n#include \"discovery.h\"\n"
  images/discovery.cpp "#include \"images/checksum.h\"\n#include \"images/discovery.h\"\n")

# Below app: the resources, in any form.
refused("flash/planted.cpp:3: resources below app: flash includes res/resource.h, but only app uses the resources"
  flash/planted.cpp "#include \"../res/resource.h\"\n")
refused("util/planted.h:3: resources below app: util includes res/resource.h"
  util/planted.h "#include <res/resource.h>\n")

# Below app: every kind of call that shows or changes a window, in sources and
# headers, with code or a closed comment before it on the line; all in one tree, each
# in files of its own, each refused with its own message.
set(expected)
set(planted)
foreach(row
    "flash|CreateWindowExW|HWND h = CreateWindowExW(0, L\"STATIC\", L\"\", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr)@"
    "images|CreateWindowW|HWND h = ::CreateWindowW(L\"STATIC\", L\"\", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr)@"
    "device|ShowWindow|void Hide(HWND h) { ShowWindow (h, SW_HIDE)@ }"
    "util|DialogBoxParamW|INT_PTR r = DialogBoxParamW(nullptr, L\"x\", nullptr, nullptr, 0)@"
    "flash|MessageBoxW|int Ask() { return MessageBoxW(nullptr, L\"x\", L\"y\", MB_OK)@ }"
    "images|MessageBoxExW|/* asks */ int a = MessageBoxExW(nullptr, L\"x\", L\"y\", MB_OK, 0)@"
    "device|SetWindowTextW|void Title(HWND h) { SetWindowTextW(h, L\"x\")@ }"
    "util|SetDlgItemTextW|void Line(HWND h) { SetDlgItemTextW(h, 1, L\"x\")@ }"
    "flash|SendMessageW|void Bar(HWND h) { SendMessageW(h, PBM_SETPOS, 5, 0)@ }"
    "images|PostMessageW|void Tell(HWND h) { PostMessageW(h, WM_APP, 0, 0)@ }"
    "device|SendDlgItemMessageW|void Pick(HWND h) { SendDlgItemMessageW(h, 1, CB_SETCURSEL, 0, 0)@ }"
    "util|GetDlgItem|HWND Button(HWND h) { return GetDlgItem(h, 1)@ }"
    "flash|EnableWindow|void Off(HWND h) { EnableWindow(h, FALSE)@ }")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 folder)
  list(GET row 1 call)
  list(GET row 2 code)
  foreach(file ${call}.cpp ${call}.h)
    list(APPEND expected "${folder}/${file}:3: window call below app: ${folder} calls ${call}, but only app shows or changes a window")
    list(APPEND planted ${folder}/${file} "${code}\n")
  endforeach()
endforeach()
refused("${expected}" ${planted})

# A folder that has no place in the layers.
refused("log/writer.cpp:1: layers: log has no place in the layer rules"
  log/writer.cpp "#include \"util/paths.h\"\n")

file(REMOVE_RECURSE ${tree})
if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
