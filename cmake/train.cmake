# Network trainer (float model, quantisation and export through the packer).

add_executable(train tools/train.cpp tools/trainer.cpp)
target_include_directories(train PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(train PRIVATE tarnvik_core)

if(TARGET tarnvik_tests)
  target_sources(tarnvik_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/trainer.cpp)
  target_include_directories(tarnvik_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools)
endif()
