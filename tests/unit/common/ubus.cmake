# The ubus tests talk to a second process: a peer that serves an object and records events
# (ubus_peer.py on the host bus; ubus_peer.cpp, the same methods, on the router's bus) and this
# sender.
add_executable(ubus_send_helper ${CMAKE_CURRENT_SOURCE_DIR}/ubus_send_helper.cpp)
target_link_libraries(ubus_send_helper PRIVATE gateway_common)
add_dependencies(common_ubus_test ubus_send_helper)
target_compile_definitions(common_ubus_test PRIVATE
    UBUS_SEND_HELPER="$<TARGET_FILE:ubus_send_helper>")
if(GATEWAY_UBUS_TRANSPORT STREQUAL "libubus")
    add_executable(ubus_peer ${CMAKE_CURRENT_SOURCE_DIR}/ubus_peer.cpp)
    target_link_libraries(ubus_peer PRIVATE gateway_common)
    add_dependencies(common_ubus_test ubus_peer)
    target_compile_definitions(common_ubus_test PRIVATE UBUS_PEER="$<TARGET_FILE:ubus_peer>")
else()
    target_compile_definitions(common_ubus_test PRIVATE
        UBUS_PEER="${CMAKE_CURRENT_SOURCE_DIR}/ubus_peer.py")
endif()
# Another client that floods a served object's listener with events.
add_dependencies(common_ubus_object_test ubus_send_helper)
target_compile_definitions(common_ubus_object_test PRIVATE
    UBUS_SEND_HELPER="$<TARGET_FILE:ubus_send_helper>")
