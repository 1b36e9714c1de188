# noxconv: a Python unittest suite drives the built binary; each test class is a CTest case
# of its own so that they run in parallel and fail separately.
if(TARGET noxconv)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    set(NOXCONV_TEST_CLASSES
      RoundTrip ChunkBoundary ErrorMode AtomicOutput Names Info)
    foreach(class IN LISTS NOXCONV_TEST_CLASSES)
      add_test(NAME noxconv_${class}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/noxconv/test_noxconv.py
                --noxconv $<TARGET_FILE:noxconv>
                --data ${NOX_DATA_DIR}
                --samples ${PROJECT_SOURCE_DIR}/tools/samples
                ${class}Test)
      set_tests_properties(noxconv_${class} PROPERTIES LABELS "noxconv" TIMEOUT 600)
    endforeach()
  else()
    message(STATUS "python3 not found: the noxconv tests are not registered")
  endif()
endif()
