# Deployment data: where this build's clients find the service. Set at
# configure time; the defaults point at the reference server on loopback.
set(TAVO_SYNC_HOST "127.0.0.1" CACHE STRING "Sync server host name or dotted address")
set(TAVO_HTTP_BASE "http://127.0.0.1:8765" CACHE STRING "Base URL of the service's web server")
set(TAVO_UPDATE_MANIFEST_URL "${TAVO_HTTP_BASE}/static/tessel.xml" CACHE STRING "Update manifest URL")
set(TAVO_CRASH_REPORT_HOST "127.0.0.1" CACHE STRING "Crash report host")
set(TAVO_CRASH_REPORT_PORT "8765" CACHE STRING "HTTP port of the crash report host")
# The fixed account the client's crash reports are sent with; the reference
# server takes the same values as the defaults of its crash-report options.
set(TAVO_CRASH_REPORT_ACCOUNT "tessel-crash" CACHE STRING "Account of the crash reports")
set(TAVO_CRASH_REPORT_PASSWORD "Xk3pT7wQ-crash" CACHE STRING "Password of the crash reports")

configure_file(${CMAKE_CURRENT_LIST_DIR}/../common/deployment.h.in
               ${CMAKE_BINARY_DIR}/generated/deployment.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
