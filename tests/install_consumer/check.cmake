# Installs the build's library s3 into a fresh prefix, then configures, builds
# and runs the consumer project beside this file against that prefix alone.
# Run by CTest with -D BUILD_DIR, WORK_DIR, ARCHIVES (the archives the install
# copies, "|"-separated), GENERATOR, CXX_COMPILER, CXX_FLAGS, BUILD_TYPE.
cmake_minimum_required(VERSION 3.25)

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install_consumer: ${what} failed (${rc}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

# A build whose archives were not made (only the programs were built) has
# nothing to install: that is no fault of the install rules.
string(REPLACE "|" ";" ARCHIVES "${ARCHIVES}")
foreach(archive IN LISTS ARCHIVES)
  if(NOT EXISTS "${archive}")
    message("install_consumer: skipped: ${archive} is not built")
    return()
  endif()
endforeach()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

step("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
  --component development)
step("configure" ${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build"
  -G "${GENERATOR}" "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
# The package must come from the fresh prefix, not from one installed on the machine.
file(STRINGS "${WORK_DIR}/build/CMakeCache.txt" found REGEX "^probefleet_DIR:")
string(FIND "${found}" "${prefix}/" at)
if(NOT at GREATER -1)
  message(FATAL_ERROR "install_consumer: probefleet found outside ${prefix}: ${found}")
endif()
step("build" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
step("run" "${WORK_DIR}/build/consumer")
message("${step_output}")
