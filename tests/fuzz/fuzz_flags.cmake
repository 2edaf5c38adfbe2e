# Compiler flags of the fuzzing build, included at the top of the build before
# any library is defined: every object of the project gets the coverage
# instrumentation libFuzzer steers by, AddressSanitizer and
# UndefinedBehaviorSanitizer (a runtime error aborts, so the fuzzer sees it).
# Only the fuzz executables link libFuzzer itself (tests/fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ODU_BUILD_FUZZ needs clang++ (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
if(ODU_SANITIZE)
  message(FATAL_ERROR "ODU_BUILD_FUZZ brings its own sanitizers; leave ODU_SANITIZE empty")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g -O1)
add_link_options(-fsanitize=address,undefined)
