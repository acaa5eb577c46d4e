add_executable(skeleton_probe ${CMAKE_CURRENT_LIST_DIR}/skeleton_probe.cpp)
target_link_libraries(skeleton_probe PRIVATE gateway_common)
