# Fails when a lower layer includes a header of a higher one: common/ may
# include nothing of ours, wavelet/ only common/, src/ neither the C library
# (capi/) nor the HDF5 filter (hdf5/) nor python/, capi/ not hdf5/. Run by CTest as
# cmake -DROOT=<source dir> -P check_layering.cmake.
set(violations "")
foreach(pair "common:(src|wavelet|python|capi|hdf5)/" "wavelet:(src|python|capi|hdf5)/"
             "src:(python|capi|hdf5)/" "capi:(python|hdf5)/" "hdf5:python/")
  string(REPLACE ":" ";" parts "${pair}")
  list(GET parts 0 layer)
  list(GET parts 1 forbidden)
  file(GLOB_RECURSE files ${ROOT}/${layer}/*.hpp ${ROOT}/${layer}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"${forbidden}")
    foreach(line ${lines})
      list(APPEND violations "${file}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(violations)
  list(JOIN violations "\n" report)
  message(FATAL_ERROR "includes that point upwards:\n${report}")
endif()
message(STATUS "layering: every include points downwards")
