# Installation: the shared library, its C headers and the C++ wrapper, noxconv and its manual page, the shipped
# code pages and alias table, a pkg-config file and a CMake package.
include(CMakePackageConfigHelpers)

set(NOX_DATA_DIR "${PROJECT_SOURCE_DIR}/data" CACHE PATH
    "Folder with the code pages (ucm/*.ucm) and the alias table (aliases.txt) to install")

set(NOX_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/noxunicode)
set(NOX_INSTALL_UCMDIR ${NOX_INSTALL_DATADIR}/ucm)
set(NOX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/noxunicode)

install(TARGETS noxunicode EXPORT noxunicodeTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT Runtime NAMELINK_COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/noxunicode
    COMPONENT Development)

# The header-only C++ wrapper, beside the C headers it includes.
install(FILES ${PROJECT_SOURCE_DIR}/noxunicode/noxunicode.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/noxunicode COMPONENT Development)

if(TARGET noxconv)
  install(TARGETS noxconv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/noxconv.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
endif()

# One folder of code pages (those from Python's codecs and those imported from ICU), with
# ICU's licence beside the pages it covers.
if(IS_DIRECTORY ${NOX_DATA_DIR}/ucm)
  install(DIRECTORY ${NOX_DATA_DIR}/ucm/ DESTINATION ${NOX_INSTALL_UCMDIR}
    COMPONENT Runtime FILES_MATCHING PATTERN "*.ucm" PATTERN "LICENSE-ICU")
else()
  message(STATUS "No code pages in ${NOX_DATA_DIR}/ucm: none will be installed")
endif()
if(EXISTS ${NOX_DATA_DIR}/aliases.txt)
  install(FILES ${NOX_DATA_DIR}/aliases.txt DESTINATION ${NOX_INSTALL_DATADIR} COMPONENT Runtime)
endif()

# CMake package: find_package(noxunicode) gives noxunicode::noxunicode and NOXUNICODE_UCM_DIR.
install(EXPORT noxunicodeTargets NAMESPACE noxunicode::
  DESTINATION ${NOX_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/noxunicodeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/noxunicodeConfig.cmake
  INSTALL_DESTINATION ${NOX_INSTALL_CMAKEDIR}
  PATH_VARS NOX_INSTALL_UCMDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/noxunicodeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/noxunicodeConfig.cmake
              ${PROJECT_BINARY_DIR}/noxunicodeConfigVersion.cmake
  DESTINATION ${NOX_INSTALL_CMAKEDIR} COMPONENT Development)

# pkg-config file. Its prefix is found from the file's own place (${pcfiledir}), so that an
# installation under another prefix (cmake --install --prefix) describes itself correctly.
foreach(dir LIBDIR INCLUDEDIR DATADIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(NOX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(NOX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(NOX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH NOX_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" NOX_PC_UP "${NOX_PC_UP}")
  set(NOX_PC_PREFIX "\${pcfiledir}/${NOX_PC_UP}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/noxunicode.pc.in ${PROJECT_BINARY_DIR}/noxunicode.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/noxunicode.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
