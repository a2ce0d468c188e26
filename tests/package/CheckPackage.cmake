# The library as other projects take it, three ways:
#  1. the test build (shared) installed into a plain prefix: a consumer built through
#     find_package(OrvantaUtils CONFIG) and through pkg-config runs, as do the installed programs;
#  2. the source tree added with add_subdirectory to a project that has an "uninstall" target of
#     its own: it configures, builds a static library alone and installs nothing of ours;
#  3. a static build for a distribution's multiarch layout (prefix /usr, libdir lib/<triplet>),
#     installed under a DESTDIR: the .pc file names /usr/include and /usr/lib/<triplet> as they
#     are (so pkg-config's system-folder filter drops them), and consumers link it statically
#     through find_package and through pkg-config --static.
# Ways 2 and 3 build the library again (without the programs); any failure fails the test.
cmake_minimum_required(VERSION 3.22)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_installed prefix)
  foreach(expected ${ARGN})
    if(NOT EXISTS ${prefix}/${expected})
      message(FATAL_ERROR "not installed: ${prefix}/${expected}")
    endif()
  endforeach()
endfunction()

function(expect_not_installed prefix)
  foreach(unexpected ${ARGN})
    if(EXISTS ${prefix}/${unexpected})
      message(FATAL_ERROR "installed, but should not be: ${prefix}/${unexpected}")
    endif()
  endforeach()
endfunction()

set(headers include/orvanta/Utils.h include/orvanta/OrvantaFile.h include/orvanta/UtilsExport.h
    include/orvanta/UtilsVersion.h include/orvanta/platform/CoreFoundation.h)
set(consumer_output "/Applications/ORVANTA-EX/orvantaes.app\n")

function(expect_consumer_output program)
  run(${program})
  if(NOT last_output STREQUAL consumer_output)
    message(FATAL_ERROR "${program}: unexpected output: ${last_output}")
  endif()
endfunction()

# Builds and runs tests/package as a consumer of the install in prefix, through find_package.
function(check_cmake_consumer name prefix)
  set(build ${WORK_DIR}/${name}-cmake-consumer)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_COMPILER=${CXX} ${ARGN})
  run(${CMAKE_COMMAND} --build ${build})
  expect_consumer_output(${build}/consumer)
endfunction()

# Builds and runs consumer.cpp with the flags pkg-config gives; the remaining arguments are
# pkg-config's options and then, after LINK, the compiler's.
function(check_pkg_config_consumer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PKG_CONFIG;LINK")
  run(pkg-config --modversion orvanta-utils)
  string(STRIP "${last_output}" version)
  run(pkg-config ${arg_PKG_CONFIG} --cflags --libs orvanta-utils)
  string(STRIP "${last_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  run(${CXX} -std=c++17 ${arg_LINK} "-DORVANTA_EXPECTED_VERSION=\"${version}\""
      ${SOURCE_DIR}/consumer.cpp ${pc_flags} -o ${WORK_DIR}/${name}-pc-consumer)
  expect_consumer_output(${WORK_DIR}/${name}-pc-consumer)
endfunction()

# The installed programs must run on their own (tools stubbed: nothing on this machine may be
# killed or unloaded).
file(MAKE_DIRECTORY ${WORK_DIR}/stubs)
foreach(tool launchctl killall)
  file(WRITE ${WORK_DIR}/stubs/${tool} "#!/bin/sh\nexit 0\n")
  file(CHMOD ${WORK_DIR}/stubs/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
set(ENV{PATH} "${WORK_DIR}/stubs:$ENV{PATH}")

# --- 1. The test build, installed into a plain prefix ------------------------------------------
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
expect_installed(${prefix} ${headers} lib/liborvanta-utils.so lib/pkgconfig/orvanta-utils.pc
                 lib/cmake/OrvantaUtils/OrvantaUtilsConfig.cmake libexec/orvanta/update
                 libexec/orvanta/uninstall)
separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS}")
check_cmake_consumer(plain ${prefix} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
                     "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}")
# Outside /usr the .pc file finds its prefix from where it lies.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
foreach(variable includedir libdir)
  run(pkg-config --variable=${variable} orvanta-utils)
  string(STRIP "${last_output}" found)
  file(REAL_PATH "${found}" found)
  if(variable STREQUAL "includedir")
    file(REAL_PATH ${prefix}/include wanted)
  else()
    file(REAL_PATH ${prefix}/lib wanted)
  endif()
  if(NOT found STREQUAL wanted)
    message(FATAL_ERROR "plain: pkg-config ${variable} is ${found}, not ${wanted}")
  endif()
endforeach()
check_pkg_config_consumer(plain LINK ${extra_flags} -Wl,-rpath,${prefix}/lib)
run(${prefix}/libexec/orvanta/update --version)

# Without RapidJSON's headers the package says so at find_package, not at the first #include.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/no-rapidjson
                -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_IGNORE_PATH=${RAPIDJSON_INCLUDE_DIR}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " err "${err}")
if(status EQUAL 0 OR NOT err MATCHES "needs RapidJSON's headers \\(rapidjson/document.h\\)")
  message(FATAL_ERROR "a missing RapidJSON was not reported (${status}):\n${out}\n${err}")
endif()

# --- 2. add_subdirectory into a project with its own "uninstall" target -----------------------
# The project's CMakeLists.txt checks what it got; its install must hold its own program only.
set(build ${WORK_DIR}/embed-build)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/embed -B ${build} -DORVANTA_SOURCE_DIR=${PROJECT_DIR}
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${build} --parallel 2)
expect_consumer_output(${build}/consumer)
run(${CMAKE_COMMAND} --install ${build} --prefix ${WORK_DIR}/embed-prefix)
expect_installed(${WORK_DIR}/embed-prefix bin/consumer)
expect_not_installed(${WORK_DIR}/embed-prefix include lib libexec)

# --- 3. A static build for /usr with a multiarch libdir, installed under a DESTDIR ---------------
if(NOT ARCH)
  set(ARCH x86_64-linux-gnu)
endif()
set(libdir lib/${ARCH})
set(build ${WORK_DIR}/static-build)
run(${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${build} -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=${libdir} -DORVANTA_BUILD_PROGRAMS=OFF
    -DORVANTA_BUILD_TESTS=OFF -DORVANTA_BUILD_BENCH=OFF -DORVANTA_BUILD_FUZZ=OFF
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${build} --parallel 2)
set(root ${WORK_DIR}/root)
set(ENV{DESTDIR} ${root})
run(${CMAKE_COMMAND} --install ${build})
unset(ENV{DESTDIR})
set(prefix ${root}/usr)
expect_installed(${prefix} ${headers} ${libdir}/liborvanta-utils.a
                 ${libdir}/pkgconfig/orvanta-utils.pc
                 ${libdir}/cmake/OrvantaUtils/OrvantaUtilsConfig.cmake)
expect_not_installed(${prefix} ${libdir}/liborvanta-utils.so libexec/orvanta)

# The .pc file names the system folders plainly, so pkg-config drops them from the flags (the
# other -I flags are GIO's, from Requires.private).
set(ENV{PKG_CONFIG_PATH} ${prefix}/${libdir}/pkgconfig)
foreach(variable "prefix:/usr" "includedir:/usr/include" "libdir:/usr/${libdir}")
  string(REPLACE ":" ";" variable "${variable}")
  list(GET variable 0 name)
  list(GET variable 1 wanted)
  run(pkg-config --variable=${name} orvanta-utils)
  string(STRIP "${last_output}" found)
  if(NOT found STREQUAL wanted)
    message(FATAL_ERROR "/usr: pkg-config --variable=${name} gives \"${found}\", not \"${wanted}\"")
  endif()
endforeach()
run(pkg-config --cflags --libs orvanta-utils)
string(STRIP "${last_output}" found)
if(found MATCHES "\\.\\.|-L|(^| )-I/usr/include( |$)" OR NOT found MATCHES "-lorvanta-utils")
  message(FATAL_ERROR "/usr: pkg-config --cflags --libs gives \"${found}\": our folders are "
                      "not written as the system folders pkg-config drops")
endif()

# Static consumers: the package finds the private dependencies (Boost.Locale, ICU, GIO) itself;
# pkg-config --static lists them. The sysroot points pkg-config's /usr at the DESTDIR.
check_cmake_consumer(static ${prefix})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${root})
check_pkg_config_consumer(static PKG_CONFIG --static)
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
