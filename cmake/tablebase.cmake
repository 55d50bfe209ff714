# Embedded three- and four-man tablebases and the tbprobe tool.

set(TB_DATA_DIR ${CMAKE_SOURCE_DIR}/src/tablebase/data)
file(GLOB TB_DATA_FILES CONFIGURE_DEPENDS ${TB_DATA_DIR}/*.rtbw ${TB_DATA_DIR}/*.rtbz)
# .incbin looks the table files up on the assembler's include path, so any build directory works;
# the object is rebuilt when a table file changes.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/tablebase/embedded.S PROPERTIES
  COMPILE_OPTIONS "-Wa,-I${TB_DATA_DIR}"
  OBJECT_DEPENDS "${TB_DATA_FILES}")

add_executable(tbprobe tools/tbprobe.cpp)
target_link_libraries(tbprobe PRIVATE tarnvik_core)

if(TARGET tarnvik_tests)
  target_compile_definitions(tarnvik_tests PRIVATE TBPROBE_BINARY="$<TARGET_FILE:tbprobe>")
  add_dependencies(tarnvik_tests tbprobe)
endif()
