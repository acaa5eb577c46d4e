# The ubus tests talk to a second process: a Python peer (ubus_peer.py) and this sender.
# They run over the host bus, so only in builds with the D-Bus transport (host_bus.h).
add_executable(ubus_send_helper ${CMAKE_CURRENT_SOURCE_DIR}/ubus_send_helper.cpp)
target_link_libraries(ubus_send_helper PRIVATE gateway_common)
add_dependencies(common_ubus_test ubus_send_helper)
target_compile_definitions(common_ubus_test PRIVATE
    UBUS_SEND_HELPER="$<TARGET_FILE:ubus_send_helper>"
    UBUS_PEER="${CMAKE_CURRENT_SOURCE_DIR}/ubus_peer.py")
