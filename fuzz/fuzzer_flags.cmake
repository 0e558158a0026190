# Compiler flags of a fuzzing build (-DTESSARINE_BUILD_FUZZERS=ON): every
# object gets libFuzzer's coverage hooks plus AddressSanitizer and
# UndefinedBehaviorSanitizer; only the fuzz targets link libFuzzer's main.
# Undefined behaviour aborts, so libFuzzer records it as a finding.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "TESSARINE_BUILD_FUZZERS needs clang (configure with CXX=clang++-14)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
