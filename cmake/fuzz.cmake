# libFuzzer targets (clang only), one per kind of input the engine reads from outside:
#   fuzz_uci   FEN, move lists and protocol lines        corpus tools/fuzz/corpus
#   fuzz_book  a Polyglot book file                      corpus tools/fuzz/corpus-book
#   fuzz_tb    a Syzygy WDL or DTZ file                  corpus tools/fuzz/corpus-tb
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARNVIK_FUZZ=ON -DTARNVIK_TESTS=OFF
#   cmake --build build-fuzz --target fuzz_uci fuzz_book fuzz_tb
#   build-fuzz/fuzz_book -max_total_time=60 <a copy of tools/fuzz/corpus-book>
option(TARNVIK_FUZZ "Build the libFuzzer targets fuzz_uci, fuzz_book and fuzz_tb (needs clang)" OFF)
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
  foreach(target fuzz_uci fuzz_book fuzz_tb)
    add_executable(${target} tools/fuzz/${target}.cpp)
    target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
    target_compile_definitions(${target} PRIVATE TARNVIK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${target} PRIVATE tarnvik_fuzz_core)
  endforeach()
endif()
