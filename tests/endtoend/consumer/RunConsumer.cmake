# Installs the built project into a scratch prefix, then configures, builds and runs the
# consumer project against it. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR and
# CONSUMER_CXX_FLAGS (compile and link flags the installed libraries were built with); for a
# cross build also TOOLCHAIN_FILE, EMULATOR (what runs the consumer, e.g. wine) and
# EXE_SUFFIX (the target's executable suffix).
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix"
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "install failed: ${result}")
endif()
# Only flags that are set: an empty one would replace the toolchain's own (e.g. static linking).
set(flags "")
if(CONSUMER_CXX_FLAGS)
  set(flags "-DCMAKE_CXX_FLAGS=${CONSUMER_CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_CXX_FLAGS}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G Ninja
                        "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix" -DCMAKE_BUILD_TYPE=Debug
                        ${flags}
                        "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}"
                        "-Dgatewayutils_DIR=${WORK_DIR}/prefix/lib/cmake/gatewayutils"
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "consumer configure failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/build" RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "consumer build failed: ${result}")
endif()
execute_process(COMMAND ${EMULATOR} "${WORK_DIR}/build/consumer${EXE_SUFFIX}"
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output)
message(STATUS "consumer printed: ${output}")
if(result)
  message(FATAL_ERROR "consumer run failed: ${result}")
endif()
