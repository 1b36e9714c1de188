# Reliability suites: inputs and outputs bounded by inaccessible pages, hostile mapping files,
# conversions from many threads, and the fuzz targets replayed over their seed corpora.

nox_add_gtest(guard_page_test guard_page_test.cpp test_support.cpp)
# Best-effort mode is fixed by the first query in a process: its guard-page cases get an
# executable of their own, whose test forks before anything asked.
nox_add_gtest(guard_page_best_effort_test guard_page_test.cpp test_support.cpp)
target_compile_definitions(guard_page_best_effort_test PRIVATE NOX_GUARD_BEST_EFFORT)

nox_add_gtest(hostile_files_test hostile_files_test.cpp test_support.cpp)

# Many threads through one converter, the default converter and the UTF routines; meant to be
# run under ThreadSanitizer too (NOX_SANITIZE=thread).
find_package(Threads REQUIRED)
nox_add_gtest(concurrency_test concurrency_test.cpp test_support.cpp)
target_link_libraries(concurrency_test PRIVATE Threads::Threads)

# The fuzz targets replayed over their committed corpora by fuzz/main.cpp, without libFuzzer.
# A fuzz build (NOX_BUILD_FUZZ) registers its libFuzzer binaries over the same corpora.
if(NOT NOX_BUILD_FUZZ)
  foreach(target parser loader convert utf)
    add_executable(fuzz_replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/${target}.cpp
                                         ${PROJECT_SOURCE_DIR}/fuzz/main.cpp)
    target_link_libraries(fuzz_replay_${target} PRIVATE noxunicode_internal noxunicode_reference)
    target_include_directories(fuzz_replay_${target} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
    target_compile_definitions(fuzz_replay_${target} PRIVATE
      NOX_FUZZ_UCM_DIR="${PROJECT_SOURCE_DIR}/data/ucm")
    nox_set_warnings(fuzz_replay_${target})
    if(target STREQUAL "utf")
      target_link_libraries(fuzz_replay_utf PRIVATE noxunicode_reference)
    endif()
    add_test(NAME fuzz_replay_${target}
             COMMAND fuzz_replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${target})
  endforeach()
endif()
