# Network trainer (float model, quantisation and export through the packer).

add_executable(train tools/train.cpp tools/trainer.cpp tools/game_file.cpp)
target_include_directories(train PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(train PRIVATE tarnvik_core)

if(TARGET tarnvik_tests)
  target_sources(tarnvik_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/trainer.cpp ${CMAKE_SOURCE_DIR}/tools/game_file.cpp)
  target_include_directories(tarnvik_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools)
endif()

# The evaluation tests check the first network as its tool writes it.
if(TARGET tarnvik_tests)
  target_compile_definitions(tarnvik_tests PRIVATE MAKE_FIRST_NET_BINARY="$<TARGET_FILE:make_first_net>")
  add_dependencies(tarnvik_tests make_first_net)
endif()

# Self-play data generator.
add_executable(datagen tools/datagen.cpp tools/game_file.cpp)
target_include_directories(datagen PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(datagen PRIVATE tarnvik_core)
if(TARGET tarnvik_tests)
  target_compile_definitions(tarnvik_tests PRIVATE DATAGEN_BINARY="$<TARGET_FILE:datagen>")
  add_dependencies(tarnvik_tests datagen)
endif()

# Conversion between the text lines and game files.
add_executable(convert tools/convert.cpp tools/trainer.cpp tools/game_file.cpp)
target_include_directories(convert PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(convert PRIVATE tarnvik_core)
if(TARGET tarnvik_tests)
  target_compile_definitions(tarnvik_tests PRIVATE CONVERT_BINARY="$<TARGET_FILE:convert>")
  add_dependencies(tarnvik_tests convert)
endif()
