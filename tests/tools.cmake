# noxconv: a Python unittest suite drives the built binary; each test class is a CTest case
# of its own so that they run in parallel and fail separately.
set(NOX_ICU_MAPPINGS_DIR "" CACHE PATH
    "Folder of ICU's mapping tables (*.ucm, convrtrs.txt, LICENSE) for the tests that import them")
if(TARGET noxconv)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    set(NOXCONV_TEST_CLASSES
      Results AtomicOutput Names Info IconvHabits Output Import)
    foreach(class IN LISTS NOXCONV_TEST_CLASSES)
      add_test(NAME noxconv_${class}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/noxconv/test_noxconv.py
                --noxconv $<TARGET_FILE:noxconv>
                --data ${NOX_DATA_DIR}
                --icu "${NOX_ICU_MAPPINGS_DIR}"
                ${class}Test)
      set_tests_properties(noxconv_${class} PROPERTIES LABELS "noxconv" TIMEOUT 600)
    endforeach()
    # The code pages imported from ICU regenerate unchanged where ICU's tables are found.
    add_test(NAME icu_data_regenerates
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/noxconv/check_icu_ucm.py
              --icu "${NOX_ICU_MAPPINGS_DIR}" --noxconv $<TARGET_FILE:noxconv>)
    set_tests_properties(icu_data_regenerates PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
      LABELS data)
    # The transliteration table regenerates unchanged from Python's unicodedata.
    add_test(NAME translit_table_regenerates
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/gen_translit.py --check)
    set_tests_properties(translit_table_regenerates PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300
      LABELS data)
  else()
    message(STATUS "python3 not found: the noxconv tests are not registered")
  endif()
endif()

# The header-only C++ wrapper, through the same objects as the other unit tests so that every
# case runs at every kernel level.
nox_add_gtest(cpp_wrapper_test cpp_wrapper_test.cpp test_support.cpp)
target_compile_definitions(cpp_wrapper_test PRIVATE NOX_UCM_DIR="${PROJECT_SOURCE_DIR}/data/ucm")
