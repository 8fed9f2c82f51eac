# The layer rules of the program's sources (src/):
#   - an include goes only the way the links go (the table below);
#   - no include cycle, within a folder or across folders; a header and its source file
#     count as one unit (app/update.h and app/update.cpp are "app/update"), so two
#     modules that call each other through their headers form a cycle too;
#   - below app (flash, images, device, util) nothing shows anything: no include of the
#     resources and no call that shows or changes a window.
# Every form of include counts: "#include", indented or "# include"; a quoted name found
# beside the including file (bare, or "../text/text.h") or below src; an angle-bracket
# name below src (<text/text.h>). Names found nowhere in src (<windows.h>) are not ours.
# A break names the file, the line and the rule.
#
# Two ways in:
#   include() defines r47_check_source_rules(<src folder>), which configuring calls;
#   cmake -DR47_SOURCES=<src folder> [-DR47_STAMP=<file>] -P source_rules.cmake
# is the build step that runs again whenever a file of src/ changes (the stamp is
# written only when the rules hold), and what the rules' own test runs on planted trees.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.20)
endif()

function(r47_check_source_rules root)
  # What each folder may include besides its own files; the links in src/CMakeLists.txt
  # say the same. A folder with sources that is not listed here is refused: a new
  # module takes its place in the layers on purpose.
  set(layers
    "app: flash images device text util res"
    "flash: device images util"
    "images: util"
    "device: util"
    "text: util"
    "util:"
    "res:")
  set(no_window flash images device util)
  # Calls that show or change a window, as the start of a name called.
  set(calls "CreateWindow[A-Za-z]*|ShowWindow[A-Za-z]*|DialogBox[A-Za-z]*|MessageBox[A-Za-z]*|Set[A-Za-z]*Text[AW]?|SendMessage[A-Za-z]*|PostMessage[A-Za-z]*|SendDlgItemMessage[AW]?|GetDlgItem[A-Za-z]*|EnableWindow")
  set(call_re "(^|[^A-Za-z0-9_])(${calls})[ \t]*\\(")
  set(include_re "^[ \t]*#[ \t]*include[ \t]*([<\"])([^\">]*)[\">]")
  # String and character literals and comments, found from the left so that a "//" in
  # a string or a quote in a comment is taken for what it is.
  set(noise_re "\"([^\"\\\\]|\\\\.)*\"|'([^'\\\\]|\\\\.)*'|/\\*([^*]|\\*+[^*/])*\\*+/|//.*")
  # Lines that need a closer look; every other line is passed over.
  set(candidate_re "#|/\\*|\\*/|${calls}")

  set(folders)
  foreach(layer ${layers})
    string(REGEX MATCH "^[a-z]+" folder "${layer}")
    string(REGEX REPLACE "^[a-z]+:[ ]*" "" uses "${layer}")
    separate_arguments(uses_of_${folder} UNIX_COMMAND "${uses}")
    list(APPEND folders ${folder})
  endforeach()

  set(problems)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root}
    ${root}/*.cpp ${root}/*.cc ${root}/*.c ${root}/*.h ${root}/*.hpp ${root}/*.inl)
  list(SORT files)
  set(units)
  foreach(rel ${files})
    if(NOT rel MATCHES "^([^/]+)/")
      list(APPEND problems "${root}/${rel}:1: layers: a file directly in src belongs to no layer")
      continue()
    endif()
    set(folder ${CMAKE_MATCH_1})
    if(NOT folder IN_LIST folders)
      list(APPEND problems "${root}/${rel}:1: layers: ${folder} has no place in the layer rules (cmake/source_rules.cmake)")
      continue()
    endif()
    string(REGEX REPLACE "\\.[^./]+$" "" unit "${rel}")
    list(FIND units "${unit}" i)
    if(i EQUAL -1)
      list(LENGTH units i)
      list(APPEND units "${unit}")
      set(uses_${i})
      set(where_${i})
    endif()
    get_filename_component(dir "${rel}" DIRECTORY)
    set(may ${uses_of_${folder}})
    if(may)
      list(JOIN may ", " may_say)
      set(may_say "only ${may_say}")
    else()
      set(may_say "nothing")
    endif()
    set(windowless FALSE)
    if(folder IN_LIST no_window)
      set(windowless TRUE)
    endif()

    # One list element per line: what would split or join elements is made harmless
    # first (";" separates, "[...]" and a line's closing backslash would join).
    file(READ ${root}/${rel} text)
    string(REPLACE "\r" "" text "${text}")
    string(REPLACE ";" "," text "${text}")
    string(REPLACE "[" "{" text "${text}")
    string(REPLACE "]" "}" text "${text}")
    string(REPLACE "\\\n" " \n" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(n 0)
    set(in_comment FALSE)
    foreach(line IN LISTS lines)
      math(EXPR n "${n} + 1")
      if(NOT line MATCHES "${candidate_re}")
        continue()
      endif()
      set(at "${root}/${rel}:${n}")
      set(code "${line}")
      if(in_comment)
        if(NOT code MATCHES "\\*/(.*)$")
          continue()
        endif()
        set(code "${CMAKE_MATCH_1}")
        set(in_comment FALSE)
      endif()

      if(code MATCHES "${include_re}")
        set(form "${CMAKE_MATCH_1}")
        set(name "${CMAKE_MATCH_2}")
        # Where the compiler finds it: a quoted name beside the including file first,
        # then below src; an angle-bracket name below src only.
        cmake_path(SET far NORMALIZE "${name}")
        set(target "")
        if(form STREQUAL "\"")
          cmake_path(SET near NORMALIZE "${dir}/${name}")
          if(NOT near MATCHES "^\\.\\./" AND EXISTS "${root}/${near}")
            set(target "${near}")
          elseif(NOT far MATCHES "^\\.\\./" AND EXISTS "${root}/${far}")
            set(target "${far}")
          elseif(far MATCHES "^([^/]+)/" AND CMAKE_MATCH_1 IN_LIST folders)
            set(target "${far}")
          elseif(near MATCHES "^([^/]+)/" AND CMAKE_MATCH_1 IN_LIST folders)
            set(target "${near}")
          endif()
        elseif(far MATCHES "^([^/]+)/" AND CMAKE_MATCH_1 IN_LIST folders)
          set(target "${far}")
        endif()
        if(target MATCHES "^([^/]+)/")
          set(used_folder "${CMAKE_MATCH_1}")
          if(used_folder STREQUAL "res" AND NOT folder STREQUAL "app")
            list(APPEND problems "${at}: resources below app: ${folder} includes ${target}, but only app uses the resources")
          elseif(NOT used_folder STREQUAL folder AND NOT used_folder IN_LIST may)
            list(APPEND problems "${at}: layer direction: ${folder} includes ${target}, but ${folder} may use ${may_say}")
          endif()
          string(REGEX REPLACE "\\.[^./]+$" "" used "${target}")
          if(NOT used STREQUAL unit AND NOT used IN_LIST uses_${i})
            list(APPEND uses_${i} "${used}")
            list(APPEND where_${i} "${at}")
          endif()
        endif()
      endif()

      string(REGEX REPLACE "${noise_re}" " " code "${code}")
      if(code MATCHES "^(.*)/\\*")
        set(code "${CMAKE_MATCH_1}")
        set(in_comment TRUE)
      endif()
      if(windowless AND code MATCHES "${call_re}")
        list(APPEND problems "${at}: window call below app: ${folder} calls ${CMAKE_MATCH_2}, but only app shows or changes a window")
      endif()
    endforeach()
  endforeach()

  # Takes away, round by round, every unit whose uses are all taken already; what
  # remains lies on a cycle or leads into one.
  set(left ${units})
  set(changed TRUE)
  while(changed)
    set(changed FALSE)
    set(next)
    foreach(unit ${left})
      list(FIND units "${unit}" i)
      set(waits FALSE)
      foreach(used ${uses_${i}})
        if(used IN_LIST left)
          set(waits TRUE)
          break()
        endif()
      endforeach()
      if(waits)
        list(APPEND next "${unit}")
      else()
        set(changed TRUE)
      endif()
    endforeach()
    set(left ${next})
  endwhile()
  if(left)
    # Each unit left has a use among those left: follow them until one comes round again.
    list(GET left 0 unit)
    set(path)
    while(NOT unit IN_LIST path)
      list(APPEND path "${unit}")
      list(FIND units "${unit}" i)
      foreach(used ${uses_${i}})
        if(used IN_LIST left)
          set(unit "${used}")
          break()
        endif()
      endforeach()
    endwhile()
    list(FIND path "${unit}" first)
    list(SUBLIST path ${first} -1 cycle)
    list(APPEND cycle "${unit}")
    list(JOIN cycle " -> " cycle_text)
    list(LENGTH cycle count)
    math(EXPR last "${count} - 2")
    foreach(k RANGE ${last})
      math(EXPR k1 "${k} + 1")
      list(GET cycle ${k} from)
      list(GET cycle ${k1} to)
      list(FIND units "${from}" i)
      list(FIND uses_${i} "${to}" j)
      list(GET where_${i} ${j} at)
      list(APPEND problems "${at}: include cycle: ${from} includes ${to}, which leads back (${cycle_text})")
    endforeach()
  endif()

  if(problems)
    foreach(p ${problems})
      message(NOTICE "${p}")
    endforeach()
    list(LENGTH problems count)
    message(FATAL_ERROR "The sources in ${root} break the layer rules (${count} above).")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT R47_SOURCES)
    message(FATAL_ERROR "usage: cmake -DR47_SOURCES=<src folder> [-DR47_STAMP=<file>] -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  # A failed check leaves no stamp, so the next build checks again.
  if(R47_STAMP)
    file(REMOVE ${R47_STAMP})
  endif()
  r47_check_source_rules(${R47_SOURCES})
  if(R47_STAMP)
    file(WRITE ${R47_STAMP} "The sources in ${R47_SOURCES} keep the layer rules.\n")
  endif()
endif()
