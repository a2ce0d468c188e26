# Compares the ABI of the shared library with the stored baseline (abi/liborvanta-utils.abi), or
# writes a new baseline. Both sides are read by abidw in the same way: the exported functions and
# variables only (the version script makes that the interface), with every type they reach as the
# debug information lays it out: COrvantaFile, the Core Foundation stand-ins, and the standard
# library's, Boost's and RapidJSON's types in the signatures, whose layout is part of our ABI too.
# Without paths, line numbers or DT_NEEDED entries, so the file does not change when the tree
# moves, a comment is edited or a private dependency is added.
#
# check (default): fails on any change to what the baseline exports (a function or variable
#   removed, a parameter or return type changed, COrvantaFile's layout changed, an enumerator
#   moved), unless the SONAME moved with it. Added functions pass and are listed.
# refresh: writes the baseline from the library (after a deliberate change; see the README).
#
# The baseline is GCC's account of the debug information; clang describes some of the same
# functions differently (a by-value std::wstring parameter, for one), so other compilers skip.
#
# Usage: cmake -DMODE=check|refresh -DLIBRARY=... -DBASELINE=... -DSOURCE_DIR=... -DWORK_DIR=...
#              -DCOMPILER_ID=<CMAKE_CXX_COMPILER_ID> -P CheckAbi.cmake
cmake_minimum_required(VERSION 3.22)

if(NOT COMPILER_ID STREQUAL "GNU")
  if(MODE STREQUAL "refresh")
    message(FATAL_ERROR "refresh the baseline from a GCC build (the debug preset with CXX=g++)")
  endif()
  message(STATUS "ABI check skipped: the baseline was read from a GCC build, this is ${COMPILER_ID}")
  return()
endif()

foreach(tool abidw abidiff)
  find_program(${tool}_program ${tool})
  if(NOT ${tool}_program)
    message(FATAL_ERROR "${tool} is missing: scripts/deps.sh test installs abigail-tools")
  endif()
endforeach()

# No --headers-dir / --drop-private-types: every type that the exported interface reaches is
# part of the ABI whatever header declares it, and with --no-show-locs that option turns even
# COrvantaFile into a bare declaration, so its layout would go unchecked.
set(read_options --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs
    --no-elf-needed --type-id-style hash)

function(read_abi output)
  execute_process(COMMAND ${abidw_program} ${read_options} --out-file ${output} ${LIBRARY}
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "abidw failed on ${LIBRARY} (${status}): ${err}")
  endif()
  file(READ ${output} abi)
  # Without debug information abidw sees symbol names only, and every type would read as gone.
  if(NOT abi MATCHES "<function-decl ")
    message(FATAL_ERROR "${LIBRARY} has no debug information: build it with -g "
                        "(the debug and asan-ubsan presets do)")
  endif()
  # Translation units are named by their source paths: relative to the tree, as in git.
  string(REPLACE "path='${SOURCE_DIR}/" "path='" abi "${abi}")
  file(WRITE ${output} "${abi}")
endfunction()

function(corpus_attribute file name output)
  file(READ ${file} abi)
  string(REGEX MATCH "<abi-corpus[^>]* ${name}='([^']*)'" found "${abi}")
  set(${output} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "refresh")
  read_abi(${BASELINE})
  corpus_attribute(${BASELINE} soname soname)
  message(STATUS "Wrote ${BASELINE} (${soname}): review it with git diff and commit it")
  return()
endif()

if(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "no ABI baseline at ${BASELINE}")
endif()
file(MAKE_DIRECTORY ${WORK_DIR})
set(current ${WORK_DIR}/liborvanta-utils.abi)
read_abi(${current})

foreach(attribute architecture soname)
  corpus_attribute(${BASELINE} ${attribute} baseline_${attribute})
  corpus_attribute(${current} ${attribute} current_${attribute})
endforeach()
if(NOT baseline_architecture STREQUAL current_architecture)
  message(STATUS "ABI check skipped: the baseline is for ${baseline_architecture}, "
                 "this build is ${current_architecture}")
  return()
endif()
if(NOT baseline_soname STREQUAL current_soname)
  message(STATUS "The SONAME moved from ${baseline_soname} to ${current_soname}, so any change "
                 "is allowed; refresh the baseline for the new ABI (see the README)")
  return()
endif()

# abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an incompatible change (a
# removal). Added symbols are left out, so any bit means the existing interface changed.
execute_process(COMMAND ${abidiff_program} --no-added-syms ${BASELINE} ${current}
                RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR
    "The ABI of ${current_soname} changed against the baseline (abidiff status ${status}):\n"
    "${report}${err}\n"
    "Callers built against the baseline would break. Keep the old interface, or move the SONAME "
    "(the major version in project()) and refresh the baseline (see the README).")
endif()

execute_process(COMMAND ${abidiff_program} --added-fns --added-vars ${BASELINE} ${current}
                RESULT_VARIABLE status OUTPUT_VARIABLE report)
if(NOT status EQUAL 0)
  message(STATUS "Compatible additions since the baseline (refresh it when they are final, so "
                 "their removal is caught too):\n${report}")
endif()
message(STATUS "ABI of ${current_soname} matches the baseline")
