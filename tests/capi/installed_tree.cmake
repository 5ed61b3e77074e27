# Installs the build into a fresh prefix, then builds and runs the C example
# (examples/c_roundtrip.c) twice against it: with `pkg-config --cflags --libs
# verdalix`, and from a CMake project using find_package(verdalix). Run by
# CTest as cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=...
# -DPKG_CONFIG=... -P.
file(REMOVE_RECURSE ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${status}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
file(GLOB_RECURSE pc_files ${PREFIX}/*/verdalix.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)

# pkg-config, from the installed .pc file only.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs verdalix)
  string(STRIP "${run_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${PKG_CONFIG} --variable=libdir verdalix)
  string(STRIP "${run_output}" libdir)
  run(${C_COMPILER} ${SOURCE_DIR}/examples/c_roundtrip.c ${flags} -lm -Wl,-rpath,${libdir}
      -o ${WORK_DIR}/c_roundtrip)
  run(${WORK_DIR}/c_roundtrip)
  message(STATUS "pkg-config build: ${run_output}")
else()
  message(STATUS "pkg-config not installed: only the find_package build runs")
endif()

# find_package(verdalix), shared library.
file(WRITE ${WORK_DIR}/consumer/CMakeLists.txt "
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(verdalix 0.1 REQUIRED)
add_executable(c_roundtrip ${SOURCE_DIR}/examples/c_roundtrip.c)
target_link_libraries(c_roundtrip PRIVATE verdalix::verdalix m)
")
run(${CMAKE_COMMAND} -S ${WORK_DIR}/consumer -B ${WORK_DIR}/consumer/build
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer/build)
run(${WORK_DIR}/consumer/build/c_roundtrip)
message(STATUS "find_package build: ${run_output}")
