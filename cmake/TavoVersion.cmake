# One version for all programs: the product version is the project's, the
# file version the same with the build number as its fourth part. A
# release build sets -DTAVO_BUILD_NUMBER=N.
set(TAVO_BUILD_NUMBER "${PROJECT_VERSION_TWEAK}" CACHE STRING "Build number, the fourth part of the file version")
if(NOT TAVO_BUILD_NUMBER MATCHES "^[0-9]+$" OR TAVO_BUILD_NUMBER GREATER 65535)
    message(FATAL_ERROR "TAVO_BUILD_NUMBER must be a number from 0 to 65535")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/../common/version.h.in
               ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
