# libFuzzer target over FEN, move lists and protocol lines (clang only):
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARNVIK_FUZZ=ON -DTARNVIK_TESTS=OFF
#   cmake --build build-fuzz --target fuzz_uci
#   build-fuzz/fuzz_uci -max_total_time=60 tools/fuzz/corpus
option(TARNVIK_FUZZ "Build the libFuzzer target fuzz_uci (needs clang)" OFF)
if(TARNVIK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TARNVIK_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer -g)
  # The engine built again with coverage and sanitizers; the plain library stays as it is.
  add_library(tarnvik_fuzz_core STATIC ${ENGINE_SOURCES})
  target_include_directories(tarnvik_fuzz_core PUBLIC src)
  target_compile_options(tarnvik_fuzz_core PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${FUZZ_FLAGS}>)
  target_link_libraries(tarnvik_fuzz_core PUBLIC Threads::Threads)
  add_executable(fuzz_uci tools/fuzz/fuzz_uci.cpp)
  target_compile_options(fuzz_uci PRIVATE ${FUZZ_FLAGS})
  target_link_options(fuzz_uci PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_uci PRIVATE tarnvik_fuzz_core)
endif()
