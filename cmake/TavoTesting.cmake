# GoogleTest for both trees, and one helper to declare a test executable.
option(TAVO_SANITIZE "Build the native tree with AddressSanitizer and UBSan" ON)

if(WIN32)
    add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    add_compile_options(-Wall -Wextra)
    # Tests run under Wine in a prefix inside this build tree.
    set(TAVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh.in
                   ${CMAKE_BINARY_DIR}/wine-emulator.sh
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                   @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-emulator.sh)
    # Wine is warmed up before the first test that runs under it, however
    # the run was started (tools/wine-warmup.sh says why).
    add_test(NAME wine_warmup COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-warmup.sh start)
    add_test(NAME wine_cooldown COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-warmup.sh stop)
    set_tests_properties(wine_warmup wine_cooldown PROPERTIES
        ENVIRONMENT TAVO_WINEPREFIX=${TAVO_WINEPREFIX} TIMEOUT 300)
    set_tests_properties(wine_warmup PROPERTIES FIXTURES_SETUP wine)
    set_tests_properties(wine_cooldown PROPERTIES FIXTURES_CLEANUP wine)
else()
    add_compile_options(-Wall -Wextra)
    if(TAVO_SANITIZE)
        add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    endif()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Marks tests that run under Wine: they wait for the warm-up.
function(tavo_runs_under_wine)
    if(WIN32)
        set_property(TEST ${ARGN} APPEND PROPERTY FIXTURES_REQUIRED wine)
    endif()
endfunction()

# tavo_add_test(NAME name SOURCES ... [LIBS ...] [TIMEOUT seconds])
# One executable per subsystem; CTest runs it whole (under Wine in the
# Windows tree).
function(tavo_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 600)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    tavo_runs_under_wine(${T_NAME})
endfunction()
