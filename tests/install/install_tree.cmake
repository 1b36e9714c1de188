# Installs the build into a fresh prefix, checks the installed layout and runs the installed
# noxconv, which must find the installed library and code pages by itself.
# Variables: BUILD, PREFIX, CONFIG, LIBDIR, INCLUDEDIR, BINDIR, DATADIR, MANDIR, VERSION,
# SOVERSION, DATA_SOURCE (the folder of the installed ucm/ and aliases.txt), SAMPLES, TOOLS.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}" --config "${CONFIG}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
set(pages ${DATADIR}/noxunicode/ucm)
file(GLOB expected RELATIVE "${DATA_SOURCE}" "${DATA_SOURCE}/ucm/*.ucm" "${DATA_SOURCE}/ucm/LICENSE-ICU"
     "${DATA_SOURCE}/aliases.txt")
list(TRANSFORM expected PREPEND ${DATADIR}/noxunicode/)
list(APPEND expected ${LIBDIR}/libnoxunicode.so.${VERSION} ${LIBDIR}/libnoxunicode.so ${LIBDIR}/libnoxunicode.so.${SOVERSION}
  ${INCLUDEDIR}/noxunicode/unicode.h ${INCLUDEDIR}/noxunicode/ConvertUTF.h ${INCLUDEDIR}/noxunicode/noxunicode.hpp
  ${LIBDIR}/pkgconfig/noxunicode.pc ${LIBDIR}/cmake/noxunicode/noxunicodeConfig.cmake
  ${LIBDIR}/cmake/noxunicode/noxunicodeConfigVersion.cmake ${LIBDIR}/cmake/noxunicode/noxunicodeTargets.cmake)
if(TOOLS)
  list(APPEND expected ${BINDIR}/noxconv ${MANDIR}/man1/noxconv.1)
endif()
set(problems "")
foreach(file IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${file}")
    string(APPEND problems "missing ${file}\n")
  endif()
endforeach()
file(GLOB_RECURSE unwanted "${PREFIX}/*noxunicode_internal*" "${PREFIX}/${DATADIR}/noxunicode/icu/*")
if(problems OR unwanted)
  message(FATAL_ERROR "installed tree in ${PREFIX}:\n${problems}installed by mistake: ${unwanted}")
endif()
if(NOT TOOLS OR NOT EXISTS "${DATA_SOURCE}/ucm/ibm-943_P15A-2003.ucm")
  return()
endif()
# The installed noxconv with no help from the environment: a page from Python's codecs and one
# imported from ICU (by one of its aliases), both by name from the one installed folder.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=NOX_UCM_PATH --unset=QV_UCM_PATH --unset=LD_LIBRARY_PATH
    "${PREFIX}/${BINDIR}/noxconv" -f shift_jis -t windows-932 "${SAMPLES}/japanese.sjis.txt"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(READ "${SAMPLES}/japanese.sjis.txt" twin)
if(NOT rc EQUAL 0 OR NOT out STREQUAL twin)
  message(FATAL_ERROR "installed noxconv did not convert SJIS to windows-932 (${rc}):\n${err}")
endif()
