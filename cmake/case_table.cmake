# The table archive/entry_name.cpp folds names with, made at configure time
# from the Unicode Character Database (Debian's unicode-data) into
# ${PROJECT_BINARY_DIR}/generated/case_table.h; CMake runs again when the
# database or this file changes.
#
# Windows compares file names through an upcase table of UTF-16 units: each
# character of the Basic Multilingual Plane becomes its simple (one-to-one)
# uppercase mapping, field 12 of UnicodeData.txt, without locale rules or
# one-to-many mappings (no "ß" to "SS"); everything else stays itself. The
# table holds those mappings as ranges: from 'first', every 'step'-th code
# point up to 'first' + 'span' maps to itself + 'delta' (modulo 65536); a
# span fits a byte.
set(SFX_UNICODE_DIR /usr/share/unicode CACHE PATH "The Unicode Character Database (Debian: unicode-data)")
set(SFX_CASE_TABLE_DIR ${PROJECT_BINARY_DIR}/generated)

function(sfx_make_case_table)
  set(data ${SFX_UNICODE_DIR}/UnicodeData.txt)
  if(NOT EXISTS ${data})
    message(FATAL_ERROR "${data} is missing: install Debian's unicode-data (make deps does)")
  endif()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${data} ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  endif()
  set(version unknown)
  if(EXISTS ${SFX_UNICODE_DIR}/ReadMe.txt)
    file(STRINGS ${SFX_UNICODE_DIR}/ReadMe.txt line REGEX "for Version [0-9.]+ of the Unicode Standard" LIMIT_COUNT 1)
    string(REGEX REPLACE ".*for Version ([0-9.]+) of.*" "\\1" version "${line}")
  endif()

  # Lines of four-digit code points whose uppercase field (the 13th) is set;
  # ';' would split CMake lists, so fields are split on ',' instead.
  file(READ ${data} text)
  string(REPLACE ";" "," text "${text}")
  set(field "[^,\n]*,")
  set(pattern "\n[0-9A-F][0-9A-F][0-9A-F][0-9A-F],")
  foreach(i RANGE 1 11)
    string(APPEND pattern "${field}")
  endforeach()
  string(APPEND pattern "[0-9A-F]+,")
  string(REGEX MATCHALL "${pattern}" lines "\n${text}")

  set(ranges "")
  set(count 0)
  set(first -1)
  foreach(line ${lines})
    string(REGEX MATCH "^\n([0-9A-F]+),.*,([0-9A-F]+),$" line "${line}")
    math(EXPR code "0x${CMAKE_MATCH_1}")
    math(EXPR delta "(0x${CMAKE_MATCH_2} - ${code}) & 0xFFFF")
    # The next mapping extends the open range when it has the same delta and
    # follows at the range's step (the second mapping sets the step: 1 for
    # runs, 2 for capitals and small letters that alternate).
    if(first GREATER_EQUAL 0 AND delta EQUAL range_delta)
      math(EXPR gap "${code} - ${last}")
      if(span EQUAL 0 AND gap LESS_EQUAL 2)
        set(step ${gap})
      endif()
      math(EXPR longer "${code} - ${first}")
      if(gap EQUAL step AND longer LESS 256)
        set(last ${code})
        math(EXPR span "${last} - ${first}")
        continue()
      endif()
    endif()
    if(first GREATER_EQUAL 0)
      string(APPEND ranges "    {${first}, ${span}, ${step}, ${range_delta}},\n")
      math(EXPR count "${count} + 1")
    endif()
    set(first ${code})
    set(last ${code})
    set(span 0)
    set(step 1)
    set(range_delta ${delta})
  endforeach()
  string(APPEND ranges "    {${first}, ${span}, ${step}, ${range_delta}},\n")
  math(EXPR count "${count} + 1")

  file(WRITE ${SFX_CASE_TABLE_DIR}/case_table.h.new
"// Made by cmake/case_table.cmake from ${data}
// (Unicode ${version}): the simple uppercase mappings of the Basic
// Multilingual Plane, as ${count} ranges in code point order.
#define CASE_TABLE_UNICODE_VERSION \"${version}\"
enum { CASE_RANGE_COUNT = ${count} };
static const CaseRange CASE_RANGES[CASE_RANGE_COUNT] = {
${ranges}};
")
  configure_file(${SFX_CASE_TABLE_DIR}/case_table.h.new ${SFX_CASE_TABLE_DIR}/case_table.h COPYONLY)
  file(REMOVE ${SFX_CASE_TABLE_DIR}/case_table.h.new)
endfunction()

sfx_make_case_table()
