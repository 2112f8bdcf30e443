# The fuzz targets as ordinary tests: each target's LLVMFuzzerTestOneInput
# linked with replay_main.cc (no libFuzzer, so gcc builds it) and run over its
# seed corpus and its saved regressions. Included from tests/CMakeLists.txt;
# timed fuzzing stays with scripts/fuzz.sh.
set(_fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)

# The SigV4 target reads its input through LLVM's header-only
# FuzzedDataProvider, which Debian ships in libclang-rt-<version>-dev.
file(GLOB _fuzz_provider_dirs /usr/lib/llvm-*/lib/clang/*/include)
find_path(PROBEFLEET_FUZZED_DATA_PROVIDER_DIR fuzzer/FuzzedDataProvider.h
  HINTS ${_fuzz_provider_dirs})

if(PROBEFLEET_FUZZED_DATA_PROVIDER_DIR)
  # Copied alone: clang's include directory also holds clang's own builtin
  # headers, which must not shadow gcc's.
  set(_fuzz_include ${CMAKE_CURRENT_BINARY_DIR}/fuzz_include)
  configure_file(${PROBEFLEET_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h
    ${_fuzz_include}/fuzzer/FuzzedDataProvider.h COPYONLY)
endif()

add_library(fuzz_replay_main OBJECT ${_fuzz_dir}/replay_main.cc)

file(GLOB _fuzz_sources CONFIGURE_DEPENDS ${_fuzz_dir}/fuzz_*.cc)
foreach(source ${_fuzz_sources})
  get_filename_component(target ${source} NAME_WE)
  file(READ ${source} _fuzz_text)
  if(_fuzz_text MATCHES "FuzzedDataProvider.h" AND NOT PROBEFLEET_FUZZED_DATA_PROVIDER_DIR)
    message(STATUS "Replay of ${target} skipped: fuzzer/FuzzedDataProvider.h not found (install libclang-rt-14-dev)")
    continue()
  endif()
  set(inputs ${_fuzz_dir}/corpus/${target})
  if(EXISTS ${_fuzz_dir}/regressions/${target})
    list(APPEND inputs ${_fuzz_dir}/regressions/${target})
  endif()
  add_executable(replay_${target} ${source} $<TARGET_OBJECTS:fuzz_replay_main>)
  target_link_libraries(replay_${target} PRIVATE test_fakes probefleet_ops)
  if(PROBEFLEET_FUZZED_DATA_PROVIDER_DIR)
    target_include_directories(replay_${target} SYSTEM PRIVATE ${_fuzz_include})
  endif()
  add_test(NAME replay_${target} COMMAND replay_${target} ${inputs})
  set_tests_properties(replay_${target} PROPERTIES LABELS fuzz-replay TIMEOUT 300)
endforeach()
