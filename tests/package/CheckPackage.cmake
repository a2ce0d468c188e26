# Installs the build into a scratch prefix, then builds and runs the consumer twice: once through
# find_package(OrvantaUtils CONFIG), once through pkg-config. Then the same for a multiarch
# layout (prefix /usr, libdir lib/<triplet>, installed under a DESTDIR), which needs a build
# configured for it: the install folders are fixed when the project is configured.
# Any failure fails the test.
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_installed prefix libdir)
  foreach(expected include/orvanta/Utils.h include/orvanta/OrvantaFile.h
          include/orvanta/platform/CoreFoundation.h ${libdir}/pkgconfig/orvanta-utils.pc
          ${libdir}/cmake/OrvantaUtils/OrvantaUtilsConfig.cmake libexec/orvanta/update
          libexec/orvanta/uninstall)
    if(NOT EXISTS ${prefix}/${expected})
      message(FATAL_ERROR "not installed: ${prefix}/${expected}")
    endif()
  endforeach()
endfunction()

# The consumer, built against the install in prefix through both ways, must run and print its
# line; the .pc file's folders must be the prefix's own.
function(check_consumer name prefix libdir)
  set(build ${WORK_DIR}/${name})
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}")
  run(${CMAKE_COMMAND} --build ${build}/cmake-build)
  run(${build}/cmake-build/consumer)
  if(NOT last_output STREQUAL "/Applications/ORVANTA-EX/orvantaes.app\n")
    message(FATAL_ERROR "${name}: unexpected consumer output: ${last_output}")
  endif()

  set(ENV{PKG_CONFIG_PATH} ${prefix}/${libdir}/pkgconfig)
  foreach(variable includedir libdir)
    run(pkg-config --variable=${variable} orvanta-utils)
    string(STRIP "${last_output}" found)
    file(REAL_PATH "${found}" found)
    if(variable STREQUAL "includedir")
      file(REAL_PATH ${prefix}/include wanted)
    else()
      file(REAL_PATH ${prefix}/${libdir} wanted)
    endif()
    if(NOT found STREQUAL wanted)
      message(FATAL_ERROR "${name}: pkg-config ${variable} is ${found}, not ${wanted}")
    endif()
  endforeach()
  run(pkg-config --cflags --libs orvanta-utils)
  string(STRIP "${last_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS}")
  run(${CXX} -std=c++17 ${extra_flags} ${SOURCE_DIR}/consumer.cpp ${pc_flags}
      -Wl,-rpath,${prefix}/${libdir} -o ${build}/consumer-pc)
  run(${build}/consumer-pc)
endfunction()

# The installed programs find the installed library on their own (tools stubbed: nothing on this
# machine may be killed or unloaded).
file(MAKE_DIRECTORY ${WORK_DIR}/stubs)
foreach(tool launchctl killall)
  file(WRITE ${WORK_DIR}/stubs/${tool} "#!/bin/sh\nexit 0\n")
  file(CHMOD ${WORK_DIR}/stubs/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
set(ENV{PATH} "${WORK_DIR}/stubs:$ENV{PATH}")

# The test build, installed into a plain prefix.
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
expect_installed(${prefix} lib)
check_consumer(plain ${prefix} lib)
run(${prefix}/libexec/orvanta/update --version)

# Without RapidJSON's headers the package says so at find_package, not at the first #include.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/no-rapidjson
                -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_IGNORE_PATH=${RAPIDJSON_INCLUDE_DIR}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " err "${err}")
if(status EQUAL 0 OR NOT err MATCHES "needs RapidJSON's headers \\(rapidjson/document.h\\)")
  message(FATAL_ERROR "a missing RapidJSON was not reported (${status}):\n${out}\n${err}")
endif()

# A distribution's multiarch layout: the library, package and .pc file in lib/<triplet>.
if(NOT ARCH)
  set(ARCH x86_64-linux-gnu)
endif()
set(libdir lib/${ARCH})
set(build ${WORK_DIR}/multiarch-build)
run(${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${build} -DCMAKE_INSTALL_PREFIX=/usr
    -DCMAKE_INSTALL_LIBDIR=${libdir} -DORVANTA_BUILD_TESTS=OFF -DORVANTA_BUILD_BENCH=OFF
    -DORVANTA_BUILD_FUZZ=OFF -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}" "-DCMAKE_SHARED_LINKER_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${build} --parallel 2)
set(ENV{DESTDIR} ${WORK_DIR}/root)
run(${CMAKE_COMMAND} --install ${build})
unset(ENV{DESTDIR})
set(prefix ${WORK_DIR}/root/usr)
expect_installed(${prefix} ${libdir})
check_consumer(multiarch ${prefix} ${libdir})
run(${prefix}/libexec/orvanta/update --version)
