# Reliability suites: guard pages, hostile mapping files, many threads, the fuzz corpora replayed.
nox_add_gtest(guard_page_test guard_page_test.cpp test_support.cpp)
# Best-effort mode is fixed by a process's first query: its cases get an executable of their own.
nox_add_gtest(guard_page_best_effort_test guard_page_test.cpp test_support.cpp)
target_compile_definitions(guard_page_best_effort_test PRIVATE NOX_GUARD_BEST_EFFORT)

nox_add_gtest(hostile_files_test hostile_files_test.cpp test_support.cpp)

# Many threads through one converter, the default one and the UTF routines (also under TSan).
find_package(Threads REQUIRED)
nox_add_gtest(concurrency_test concurrency_test.cpp test_support.cpp)
target_link_libraries(concurrency_test PRIVATE Threads::Threads)

# The fuzz targets replayed over their corpora without libFuzzer (a fuzz build registers its own).
if(NOT NOX_BUILD_FUZZ)
  foreach(target parser loader convert utf)
    add_executable(fuzz_replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/${target}.cpp
                                         ${PROJECT_SOURCE_DIR}/fuzz/main.cpp)
    target_link_libraries(fuzz_replay_${target} PRIVATE noxunicode_internal noxunicode_reference)
    target_include_directories(fuzz_replay_${target} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
    target_compile_definitions(fuzz_replay_${target} PRIVATE
      NOX_FUZZ_UCM_DIR="${PROJECT_SOURCE_DIR}/data/ucm")
    nox_set_warnings(fuzz_replay_${target})
    add_test(NAME fuzz_replay_${target}
             COMMAND fuzz_replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${target})
  endforeach()
endif()
