#include "crashrpt/report_format.h"

namespace CrashRpt {

namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool ParsePort(std::string_view text, uint16_t* port)
{
    if (text.empty() || text.size() > 5)
        return false;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

std::string HeaderSafe(std::string_view text)
{
    std::string safe(text);
    for (char& c : safe) {
        if (c == '"' || c == '\r' || c == '\n' || c == '\\')
            c = '_';
    }
    return safe;
}

}  // namespace

std::string Base64Encode(std::string_view data)
{
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(data[i]) << 16) | (static_cast<uint8_t>(data[i + 1]) << 8) |
                           static_cast<uint8_t>(data[i + 2]);
        out += kBase64Digits[(v >> 18) & 63];
        out += kBase64Digits[(v >> 12) & 63];
        out += kBase64Digits[(v >> 6) & 63];
        out += kBase64Digits[v & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint8_t>(data[i]) << 16;
        if (rest == 2)
            v |= static_cast<uint8_t>(data[i + 1]) << 8;
        out += kBase64Digits[(v >> 18) & 63];
        out += kBase64Digits[(v >> 12) & 63];
        out += rest == 2 ? kBase64Digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool SplitServer(std::string_view server, uint16_t default_port, std::string* host, uint16_t* port)
{
    std::string_view name = server;
    std::string_view port_text;
    if (!server.empty() && server.front() == '[') {
        const size_t close = server.find(']');
        if (close == std::string_view::npos || close == 1)
            return false;
        name = server.substr(1, close - 1);
        const std::string_view after = server.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return false;
            port_text = after.substr(1);
            if (port_text.empty())
                return false;
        }
    } else {
        const size_t colon = server.find(':');
        if (colon != std::string_view::npos) {
            name = server.substr(0, colon);
            port_text = server.substr(colon + 1);
            if (port_text.empty())
                return false;
        }
    }
    if (name.empty() || name.find_first_of(" /\\?#@") != std::string_view::npos)
        return false;
    uint16_t value = default_port;
    if (!port_text.empty() && !ParsePort(port_text, &value))
        return false;
    if (value == 0)
        return false;
    host->assign(name);
    *port = value;
    return true;
}

std::string BasicAuthorization(std::string_view account, std::string_view password)
{
    std::string pair(account);
    pair += ':';
    pair += password;
    return "Basic " + Base64Encode(pair);
}

std::string PartHeader(std::string_view boundary, std::string_view field, std::string_view filename)
{
    std::string header = "--" + std::string(boundary) + "\r\nContent-Disposition: form-data; name=\"" +
                         HeaderSafe(field) + "\"";
    if (!filename.empty())
        header += "; filename=\"" + HeaderSafe(filename) + "\"\r\nContent-Type: application/octet-stream";
    else
        header += "\r\nContent-Type: text/plain; charset=utf-8";
    header += "\r\n\r\n";
    return header;
}

std::string ClosingLine(std::string_view boundary)
{
    return "--" + std::string(boundary) + "--\r\n";
}

std::string ContentTypeHeader(std::string_view boundary)
{
    return "Content-Type: multipart/form-data; boundary=" + std::string(boundary);
}

const char* FieldForReportFile(std::string_view name)
{
    // Report folders are written by this reporter, always in these letters.
    if (name == "crash.dmp")
        return "dump";
    if (name == "crash.log")
        return "log";
    return "file";
}

std::string VersionFromLog(std::string_view head)
{
    constexpr std::string_view kPrefix = "Version: ";
    if (head.substr(0, kPrefix.size()) != kPrefix)
        return {};
    head.remove_prefix(kPrefix.size());
    const size_t end = head.find_first_of("\r\n");
    if (end == std::string_view::npos)
        return {};
    return std::string(head.substr(0, end));
}

UploadOutcome OutcomeOfStatus(int status)
{
    if (status >= 200 && status <= 299)
        return UploadOutcome::Sent;
    if (status == 400 || status == 413 || status == 415)
        return UploadOutcome::Refused;
    return UploadOutcome::Retry;
}

}  // namespace CrashRpt
