# Checks that each module's build-identification line in the library counts the bytes of every
# part the module is built from: its source and every file of the source tree it includes
# (kernel files and .inl parts), so that a change to any of them changes the line.
file(STRINGS "${LIBRARY}" lines REGEX "@\\(#\\) [A-Za-z]+\\.o .* size [0-9]+ cksum")
if(NOT lines)
  message(FATAL_ERROR "no module lines in ${LIBRARY}")
endif()
foreach(module ConvertUTF unicode environment NoxUCharMapping NoxUCharConverter parser)
  set(found "")
  foreach(line IN LISTS lines)
    if(line MATCHES "@\\(#\\) ${module}\\.o .* size ([0-9]+) cksum")
      set(found "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  file(SIZE "${SOURCE_DIR}/${module}.cpp" expected)
  # Its .inl parts and the kernels' shared header, where it includes them.
  file(STRINGS "${SOURCE_DIR}/${module}.cpp" includes
       REGEX "^#include \"([^\"]+\\.inl|kernels/[^\"]+\\.h)\"")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" part "${include}")
    file(SIZE "${SOURCE_DIR}/${part}" size)
    math(EXPR expected "${expected} + ${size}")
  endforeach()
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${module}.o: the library counts ${found} bytes, its parts hold ${expected}")
  endif()
endforeach()
