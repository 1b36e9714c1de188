# The installed tree: `cmake --install` into a prefix inside the build folder, then a small C
# consumer built against it through pkg-config and through find_package(noxunicode).
set(NOX_INSTALL_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/install-test)
set(NOX_INSTALL_TEST_PREFIX ${NOX_INSTALL_TEST_DIR}/prefix)
# The consumers are built with the sanitizers the library was built with.
set(NOX_CONSUMER_FLAGS "")
if(NOX_SANITIZE)
  set(NOX_CONSUMER_FLAGS "-fsanitize=${NOX_SANITIZE}")
endif()
set(NOX_INSTALL_TEST_TOOLS $<TARGET_EXISTS:noxconv>)
# Once the code pages are shipped, a tree installed without them is a failure.
set(NOX_CONSUMER_ARGS "")
if(EXISTS ${NOX_DATA_DIR}/ucm/SJIS.ucm)
  set(NOX_CONSUMER_ARGS --require-code-pages)
endif()

add_test(NAME install_tree
  COMMAND ${CMAKE_COMMAND}
    -DBUILD=${PROJECT_BINARY_DIR} -DPREFIX=${NOX_INSTALL_TEST_PREFIX} -DCONFIG=$<CONFIG>
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
    -DBINDIR=${CMAKE_INSTALL_BINDIR} -DDATADIR=${CMAKE_INSTALL_DATADIR}
    -DMANDIR=${CMAKE_INSTALL_MANDIR} -DVERSION=${PROJECT_VERSION}
    -DSOVERSION=${PROJECT_VERSION_MAJOR} -DDATA_SOURCE=${NOX_DATA_DIR}
    -DSAMPLES=${PROJECT_SOURCE_DIR}/tools/samples -DTOOLS=${NOX_INSTALL_TEST_TOOLS}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/install/install_tree.cmake)
set_tests_properties(install_tree PROPERTIES FIXTURES_SETUP noxunicode_installed
  LABELS install TIMEOUT 300)

add_test(NAME install_pkgconfig_consumer
  COMMAND ${CMAKE_COMMAND} -E env "CFLAGS=${NOX_CONSUMER_FLAGS}"
    sh ${CMAKE_CURRENT_SOURCE_DIR}/install/pkgconfig_consumer.sh
    ${NOX_INSTALL_TEST_PREFIX} ${CMAKE_INSTALL_LIBDIR} ${NOX_INSTALL_TEST_DIR}/pkgconfig
    ${CMAKE_C_COMPILER} ${PROJECT_VERSION} ${NOX_CONSUMER_ARGS})
set_tests_properties(install_pkgconfig_consumer PROPERTIES FIXTURES_REQUIRED noxunicode_installed
  SKIP_RETURN_CODE 77 LABELS install TIMEOUT 300)

add_test(NAME install_find_package_consumer
  COMMAND ${CMAKE_COMMAND}
    -DPREFIX=${NOX_INSTALL_TEST_PREFIX} -DWORK=${NOX_INSTALL_TEST_DIR}/find_package
    -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/install "-DGENERATOR=${CMAKE_GENERATOR}"
    -DC_COMPILER=${CMAKE_C_COMPILER}
    "-DFLAGS=${NOX_CONSUMER_FLAGS}" "-DARGS=${NOX_CONSUMER_ARGS}"
    -P ${CMAKE_CURRENT_SOURCE_DIR}/install/cmake_consumer.cmake)
set_tests_properties(install_find_package_consumer PROPERTIES
  FIXTURES_REQUIRED noxunicode_installed LABELS install TIMEOUT 300)
