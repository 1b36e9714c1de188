# Configures, builds and runs the find_package consumer against an installed tree.
# Variables: PREFIX, WORK, SOURCE (tests/install), GENERATOR, C_COMPILER, CXX_COMPILER, FLAGS,
# ARGS (for the consumer).
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}/consumer" -B "${WORK}" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_CXX_FLAGS=${FLAGS}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed:\n${out}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer failed:\n${out}")
endif()
foreach(program consumer_c consumer_cpp consumer_wrapper)
  execute_process(COMMAND "${WORK}/${program}" ${ARGS}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${program} failed (${rc}):\n${out}${err}")
  endif()
  message(STATUS "${program}: ${out}")
endforeach()
