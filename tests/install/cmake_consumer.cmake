# Configures, builds and runs the find_package consumer against an installed tree.
# Variables: PREFIX, WORK, SOURCE (tests/install), GENERATOR, C_COMPILER, FLAGS, ARGS.
file(REMOVE_RECURSE "${WORK}")
foreach(step configure build run)
  if(step STREQUAL "configure")
    set(command "${CMAKE_COMMAND}" -S "${SOURCE}/consumer" -B "${WORK}" -G "${GENERATOR}" "-DCMAKE_PREFIX_PATH=${PREFIX}"
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${FLAGS}")
  elseif(step STREQUAL "build")
    set(command "${CMAKE_COMMAND}" --build "${WORK}")
  else()
    set(command "${WORK}/consumer" ${ARGS})
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer's ${step} step failed (${rc}):\n${out}")
  endif()
endforeach()
