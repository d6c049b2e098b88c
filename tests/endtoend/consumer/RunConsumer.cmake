# Installs the built project into a scratch prefix, then configures, builds and runs the
# consumer project against it (with pkg-config's view of the prefix): the README's host example
# must print what the README says it prints. Then runs the installed gwctl from elsewhere on the
# installed samples. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, README, SHARED (whether the
# library is a shared module, which registers when loaded) and CONSUMER_CXX_FLAGS (compile and
# link flags the installed libraries were built with); for a cross build also TOOLCHAIN_FILE,
# EMULATOR (what runs the consumer, e.g. wine) and EXE_SUFFIX (the target's executable suffix);
# LAUNCHER, the project's compiler launcher (its compiler cache), when it has one.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "install failed: ${result}")
endif()
# Only flags that are set: an empty one would replace the toolchain's own (e.g. static linking).
set(flags "")
if(CONSUMER_CXX_FLAGS)
  set(flags "-DCMAKE_CXX_FLAGS=${CONSUMER_CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_CXX_FLAGS}")
endif()
if(LAUNCHER)
  list(APPEND flags "-DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER}")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${prefix}/lib/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G Ninja
                        "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_BUILD_TYPE=Debug
                        ${flags}
                        "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}"
                        "-Dgatewayutils_DIR=${prefix}/lib/cmake/gatewayutils"
                        "-DREADME=${README}"
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "consumer configure failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/build" --parallel 2
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "consumer build failed: ${result}")
endif()
# What the example prints, as the README shows it; the module line only from a shared library.
file(READ "${README}" readme)
string(REGEX MATCH "<!-- host-example-output -->\n```text\n([^`]*)```" shown "${readme}")
set(expected "${CMAKE_MATCH_1}")
if(NOT SHARED)
  string(REGEX REPLACE "module [^\n]*\n" "" expected "${expected}")
endif()
foreach(program host_example host_example_pkgconfig)
  if(NOT EXISTS "${WORK_DIR}/build/${program}${EXE_SUFFIX}")
    continue()  # pkg-config's program is built natively only
  endif()
  file(MAKE_DIRECTORY "${WORK_DIR}/${program}")
  # A program linked by pkg-config's flags carries no path to the installed shared libraries.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${prefix}/lib"
                          ${EMULATOR} "${WORK_DIR}/build/${program}${EXE_SUFFIX}"
                          "${prefix}/share/gatewayutils" "${prefix}/bin/gwemu${EXE_SUFFIX}"
                          "${WORK_DIR}/${program}"
                  RESULT_VARIABLE result
                  OUTPUT_VARIABLE output
                  ERROR_VARIABLE errors)
  string(REPLACE "\r\n" "\n" output "${output}")
  message(STATUS "${program} printed:\n${output}${errors}")
  if(result OR NOT output STREQUAL expected)
    message(FATAL_ERROR "${program} ended with ${result}; the README says it prints:\n${expected}")
  endif()
endforeach()

# The installed gwctl, run from another folder with no folder named, checks the installed
# sample scenario against the installed sample release: differences remain (exit 1).
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=GWU_FIRMWARE_DIR --unset=GWU_RUNTIME_DIR
                        --unset=GWU_LOG_DIR ${EMULATOR} "${prefix}/bin/gwctl${EXE_SUFFIX}" check
                        --quiet
                WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
message(STATUS "installed gwctl printed: ${output}")
if(NOT result EQUAL 1 OR NOT output MATCHES "PROM:Older")
  message(FATAL_ERROR "installed gwctl check: ${result}")
endif()
