# One version for all programs and the installer: the product version is the
# project's (-DTAVO_VERSION=A.B.C.D sets it), the file version the same with
# the build number as its fourth part. A release build sets
# -DTAVO_BUILD_NUMBER=N.
set(TAVO_BUILD_NUMBER "${PROJECT_VERSION_TWEAK}" CACHE STRING "Build number, the fourth part of the file version")
if(NOT TAVO_BUILD_NUMBER MATCHES "^[0-9]+$" OR TAVO_BUILD_NUMBER GREATER 65535)
    message(FATAL_ERROR "TAVO_BUILD_NUMBER must be a number from 0 to 65535")
endif()
# Four numbers that fit the version resources. The updater reads the
# installed version into 19 characters with the terminator that the
# registry stores, so it is at most 18 characters long.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "The product version ${PROJECT_VERSION} must have four numbers")
endif()
foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} GREATER 65535)
        message(FATAL_ERROR "Each number of the product version must be at most 65535")
    endif()
endforeach()
string(LENGTH "${PROJECT_VERSION}" tavo_version_length)
if(tavo_version_length GREATER 18)
    message(FATAL_ERROR "The product version must be at most 18 characters long")
endif()
set(TAVO_FILE_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${TAVO_BUILD_NUMBER}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/../common/version.h.in
               ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
