# Installs the build into a scratch prefix, then builds and runs the consumer twice: once through
# find_package(OrvantaUtils CONFIG), once through pkg-config. Any failure fails the test.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(expected include/orvanta/Utils.h include/orvanta/OrvantaFile.h
        include/orvanta/platform/CoreFoundation.h lib/pkgconfig/orvanta-utils.pc
        lib/cmake/OrvantaUtils/OrvantaUtilsConfig.cmake libexec/orvanta/update
        libexec/orvanta/uninstall)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()

# Through CMake.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)
if(NOT last_output STREQUAL "/Applications/ORVANTA-EX/orvantaes.app\n")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# Through pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs orvanta-utils)
string(STRIP "${last_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS}")
run(${CXX} -std=c++17 ${extra_flags} ${SOURCE_DIR}/consumer.cpp ${pc_flags}
    -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)

# The installed programs find the installed library on their own (tools stubbed: nothing on
# this machine may be killed or unloaded).
file(MAKE_DIRECTORY ${WORK_DIR}/stubs)
foreach(tool launchctl killall)
  file(WRITE ${WORK_DIR}/stubs/${tool} "#!/bin/sh\nexit 0\n")
  file(CHMOD ${WORK_DIR}/stubs/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
set(ENV{PATH} "${WORK_DIR}/stubs:$ENV{PATH}")
run(${prefix}/libexec/orvanta/update)
