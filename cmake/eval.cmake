# The embedded network block and the network tools.

set(NET_DIR ${CMAKE_SOURCE_DIR}/src/eval/nets)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/eval/network.S PROPERTIES
  COMPILE_OPTIONS "-Wa,-I${NET_DIR}"
  OBJECT_DEPENDS "${NET_DIR}/tarnvik.nnue")

add_executable(make_first_net tools/make_first_net.cpp)
target_link_libraries(make_first_net PRIVATE tarnvik_core)

add_executable(netbench tools/netbench.cpp)
target_link_libraries(netbench PRIVATE tarnvik_core)

add_executable(netpack tools/netpack.cpp)
target_link_libraries(netpack PRIVATE tarnvik_core)

if(TARGET tarnvik_tests)
  target_compile_definitions(tarnvik_tests PRIVATE NETPACK_BINARY="$<TARGET_FILE:netpack>")
  add_dependencies(tarnvik_tests netpack)
endif()
