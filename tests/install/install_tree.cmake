# Installs the build into a fresh prefix, checks the installed layout and runs the installed
# noxconv, which must find the installed library and code pages by itself.
# Variables: BUILD, PREFIX, CONFIG, LIBDIR, INCLUDEDIR, BINDIR, DATADIR, MANDIR, VERSION,
# SOVERSION, DATA_SOURCE (the folder whose ucm/ and aliases.txt were installed), SAMPLES,
# TOOLS (whether noxconv was built).
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}" --config "${CONFIG}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

set(expected
  ${LIBDIR}/libnoxunicode.so.${VERSION}
  ${INCLUDEDIR}/noxunicode/unicode.h
  ${INCLUDEDIR}/noxunicode/ConvertUTF.h
  ${INCLUDEDIR}/noxunicode/noxunicode.hpp
  ${LIBDIR}/pkgconfig/noxunicode.pc
  ${LIBDIR}/cmake/noxunicode/noxunicodeConfig.cmake
  ${LIBDIR}/cmake/noxunicode/noxunicodeConfigVersion.cmake
  ${LIBDIR}/cmake/noxunicode/noxunicodeTargets.cmake)
if(TOOLS)
  list(APPEND expected ${BINDIR}/noxconv ${MANDIR}/man1/noxconv.1)
endif()
set(problems "")
foreach(file IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${file}")
    string(APPEND problems "missing ${file}\n")
  endif()
endforeach()
# The development link and the soname link.
foreach(link libnoxunicode.so libnoxunicode.so.${SOVERSION})
  if(NOT IS_SYMLINK "${PREFIX}/${LIBDIR}/${link}")
    string(APPEND problems "missing symbolic link ${LIBDIR}/${link}\n")
  endif()
endforeach()
file(GLOB_RECURSE internal "${PREFIX}/*noxunicode_internal*")
if(internal)
  string(APPEND problems "the tests' static library was installed: ${internal}\n")
endif()
# Every shipped code page, and the alias table.
file(GLOB shipped RELATIVE "${DATA_SOURCE}/ucm" "${DATA_SOURCE}/ucm/*.ucm")
foreach(page IN LISTS shipped)
  if(NOT EXISTS "${PREFIX}/${DATADIR}/noxunicode/ucm/${page}")
    string(APPEND problems "code page ${page} not installed\n")
  endif()
endforeach()
# ICU's licence beside its code pages, and no second folder of code pages.
if(EXISTS "${DATA_SOURCE}/ucm/LICENSE-ICU" AND NOT EXISTS "${PREFIX}/${DATADIR}/noxunicode/ucm/LICENSE-ICU")
  string(APPEND problems "ICU's licence not installed beside the code pages\n")
endif()
if(EXISTS "${PREFIX}/${DATADIR}/noxunicode/icu")
  string(APPEND problems "a second folder of code pages was installed: ${DATADIR}/noxunicode/icu\n")
endif()
if(EXISTS "${DATA_SOURCE}/aliases.txt" AND NOT EXISTS "${PREFIX}/${DATADIR}/noxunicode/aliases.txt")
  string(APPEND problems "aliases.txt not installed\n")
endif()
if(problems)
  message(FATAL_ERROR "installed tree in ${PREFIX} is incomplete:\n${problems}")
endif()

if(NOT TOOLS)
  message(STATUS "installed tree in ${PREFIX} is complete (built without noxconv)")
  return()
endif()

# The installed noxconv, with no help from the environment.
set(run "${CMAKE_COMMAND}" -E env --unset=NOX_UCM_PATH --unset=QV_UCM_PATH --unset=LD_LIBRARY_PATH
  --unset=NOX_CODE_PAGE --unset=QV_CODE_PAGE)
execute_process(COMMAND ${run} "${PREFIX}/${BINDIR}/noxconv" --version
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "libnoxunicode")
  message(FATAL_ERROR "installed noxconv --version failed (${rc}):\n${out}${err}")
endif()
if(EXISTS "${DATA_SOURCE}/ucm/SJIS.ucm")
  execute_process(COMMAND ${run} "${PREFIX}/${BINDIR}/noxconv" -f shift_jis -t UTF-8
      "${SAMPLES}/japanese.sjis.txt"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(READ "${SAMPLES}/japanese.utf8.txt" twin)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL twin)
    message(FATAL_ERROR "installed noxconv did not convert the sample (${rc}):\n${err}")
  endif()
endif()
if(EXISTS "${DATA_SOURCE}/ucm/SJIS.ucm" AND EXISTS "${DATA_SOURCE}/ucm/ibm-943_P15A-2003.ucm")
  # A page from Python's codecs and one imported from ICU (by one of its aliases), both by name
  # in one process from the one installed folder.
  execute_process(COMMAND ${run} "${PREFIX}/${BINDIR}/noxconv" -f shift_jis -t windows-932
      "${SAMPLES}/japanese.sjis.txt"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(READ "${SAMPLES}/japanese.sjis.txt" twin)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL twin)
    message(FATAL_ERROR "installed noxconv did not convert SJIS to the ICU page windows-932 (${rc}):\n${err}")
  endif()
endif()
message(STATUS "installed tree in ${PREFIX} is complete")
