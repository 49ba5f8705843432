# The transfer actions against the reference server, which a fixture starts
# on free loopback ports for the whole run of the test executable.
set(TAVO_SERVER_BIN "${CMAKE_BINARY_DIR}/../native/server/tessel-server"
    CACHE FILEPATH "Native reference server the transfer tests run against")
set(TAVO_TRANSFER_SERVER_DIR ${CMAKE_CURRENT_BINARY_DIR}/transfer_server)

tavo_add_test(NAME tavo_transfer_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/upload_transfer_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/download_transfer_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/local_change_transfer_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/transfer_test_support.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tcp_relay.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sync_test_support.cpp
            ${PROJECT_SOURCE_DIR}/client/net/tests/test_peer.cpp
    LIBS tavo_sync tavo_test_support ws2_32
    TIMEOUT 240)
target_compile_definitions(tavo_transfer_tests PRIVATE TAVO_TRANSFER_SERVER_DIR="${TAVO_TRANSFER_SERVER_DIR}")

add_test(NAME tavo_transfer_server_start
    COMMAND ${PROJECT_SOURCE_DIR}/tools/server-fixture.sh start ${TAVO_TRANSFER_SERVER_DIR}
            --sync-port 0 --data-port 0 --http-port 0 --binary ${CMAKE_CURRENT_LIST_DIR}/announcing_server.sh)
add_test(NAME tavo_transfer_server_stop
    COMMAND ${PROJECT_SOURCE_DIR}/tools/server-fixture.sh stop ${TAVO_TRANSFER_SERVER_DIR})
set_tests_properties(tavo_transfer_server_start PROPERTIES
    FIXTURES_SETUP tavo_transfer_server
    ENVIRONMENT TAVO_REAL_SERVER=${TAVO_SERVER_BIN})
set_tests_properties(tavo_transfer_server_stop PROPERTIES FIXTURES_CLEANUP tavo_transfer_server)
set_tests_properties(tavo_transfer_tests PROPERTIES FIXTURES_REQUIRED tavo_transfer_server)
