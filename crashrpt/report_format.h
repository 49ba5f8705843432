// The parts of crash reporting that need no Win32: the server address, the
// authorization and the multipart framing of a report upload, and what an
// answer means for the report on disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace CrashRpt {

// The path reports are posted to on the crash-report host.
constexpr const char kUploadPath[] = "/crash-reports";

// RFC 4648 base64 with padding.
std::string Base64Encode(std::string_view data);

// "host", "host:port" or "[address]:port"; a missing port is default_port.
// False for an empty host, a port outside 1..65535 or anything else.
bool SplitServer(std::string_view server, uint16_t default_port, std::string* host, uint16_t* port);

// The value of an HTTP "Authorization" header for account and password.
std::string BasicAuthorization(std::string_view account, std::string_view password);

// multipart/form-data framing: the body is every part's header, its content
// and kPartEnd, followed by the closing line. A part with a file name is a
// file; quotes and line breaks in names are replaced, so that a name cannot
// end its header early.
constexpr const char kPartEnd[] = "\r\n";
std::string PartHeader(std::string_view boundary, std::string_view field, std::string_view filename);
std::string ClosingLine(std::string_view boundary);
std::string ContentTypeHeader(std::string_view boundary);

// The form field a file of a report folder travels in: the minidump, the
// log, or an attached file.
const char* FieldForReportFile(std::string_view name);

// The version text from the first line ("Version: ...") of a report log;
// empty when the log does not begin with one.
std::string VersionFromLog(std::string_view head);

// What an answer of the crash-report host means for the report on disk.
enum class UploadOutcome {
    Sent,     // stored by the host
    Refused,  // the host will never take it (malformed, too large): not sent again
    Retry,    // no answer, or one that may change (credentials, storage full)
};
UploadOutcome OutcomeOfStatus(int status);

}  // namespace CrashRpt
