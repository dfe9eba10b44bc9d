# The core libraries for a libFuzzer build, included by the fuzz targets' own projects
# (core/tests/fuzz, python/tests/fuzz): everything compiled by clang with coverage
# instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer. The core comes from
# core/CMakeLists.txt, with its file lists and per-file instruction-set flags.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the libFuzzer build needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
endif()

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

set(KORVANE_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)
add_compile_options(-ffp-contract=off -fno-fast-math -g -fno-omit-frame-pointer
  -fsanitize=fuzzer-no-link ${KORVANE_FUZZ_SANITIZERS})
add_link_options(${KORVANE_FUZZ_SANITIZERS})

set(KORVANE_BUILD_TESTS OFF)
add_subdirectory("${CMAKE_CURRENT_LIST_DIR}/../.." core)

# The core asks for -O3 per library; -O1 (last on the command line) keeps the sanitizer
# reports' stacks readable and the run fast enough.
get_property(korvane_layers GLOBAL PROPERTY KORVANE_LAYERS)
foreach(layer ${korvane_layers})
  target_compile_options(korvane_${layer} PRIVATE -O1)
endforeach()
foreach(obj korvane_avx2 korvane_avx512)
  target_compile_options(${obj} PRIVATE -O1)
endforeach()
