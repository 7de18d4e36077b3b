# Configures, builds and runs an example against a Zentaflt build tree, as an
# outside project would (ctest: zentaflt_example_service).
file(REMOVE_RECURSE "${BINARY}")
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${BINARY}" -G Ninja -DCMAKE_CXX_COMPILER=${CXX}
                        -DCMAKE_C_COMPILER=${C} -Dzentaflt_DIR=${ZENTAFLT_DIR}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring the example failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the example failed")
endif()
get_filename_component(name "${SOURCE}" NAME)
execute_process(COMMAND "${BINARY}/${name}" RESULT_VARIABLE result OUTPUT_VARIABLE out)
message("${out}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the example failed: exit code ${result}")
endif()
