#include "web_client.h"

namespace Tessel {

WebClient::WebClient(uint16_t port) : client_("127.0.0.1", port) { client_.set_read_timeout(30, 0); }

httplib::Headers WebClient::Headers() const
{
    std::string header;
    for (const auto& cookie : cookies_)
        header += (header.empty() ? "" : "; ") + cookie.first + "=" + cookie.second;
    httplib::Headers headers;
    if (!header.empty())
        headers.emplace("Cookie", header);
    return headers;
}

httplib::Result WebClient::Remember(httplib::Result result)
{
    set_cookies_.clear();
    if (!result)
        return result;
    for (const auto& header : result->headers) {
        if (header.first != "Set-Cookie")
            continue;
        set_cookies_.push_back(header.second);
        const size_t eq = header.second.find('=');
        const size_t end = header.second.find(';');
        const std::string name = header.second.substr(0, eq);
        const std::string value = header.second.substr(eq + 1, end - eq - 1);
        if (header.second.find("Max-Age=0") != std::string::npos)
            cookies_.erase(name);
        else
            cookies_[name] = value;
    }
    const std::string token = Between(result->body, "name=\"token\" value=\"", "\"");
    if (!token.empty())
        token_ = token;
    return result;
}

httplib::Result WebClient::Get(const std::string& path) { return Remember(client_.Get(path.c_str(), Headers())); }

httplib::Result WebClient::Post(const std::string& path, FormFields fields)
{
    if (!fields.count("token"))
        fields["token"] = token_;
    std::string body;
    for (const auto& field : fields)
        body += (body.empty() ? "" : "&") + UrlEncode(field.first) + "=" + UrlEncode(field.second);
    return Remember(client_.Post(path.c_str(), Headers(), body, "application/x-www-form-urlencoded"));
}

httplib::Result WebClient::Upload(int64_t folder, const std::vector<std::pair<std::string, std::string>>& files)
{
    httplib::MultipartFormDataItems items = {{"token", token_, "", ""}, {"folder", std::to_string(folder), "", ""}};
    for (const auto& file : files)
        items.push_back({"file", file.second, file.first, "application/octet-stream"});
    return Remember(client_.Post("/files/upload", Headers(), items));
}

bool WebClient::SignIn(const std::string& user, const std::string& password)
{
    if (!Get("/files"))
        return false;
    auto res = Post("/files/signin", {{"user", user}, {"password", password}});
    return res && res->status == 303 && res->get_header_value("Location") == "/files";
}

std::string WebClient::cookie(const std::string& name) const
{
    const auto found = cookies_.find(name);
    return found == cookies_.end() ? std::string() : found->second;
}

std::string Between(const std::string& text, const std::string& before, const std::string& after)
{
    const size_t start = text.find(before);
    if (start == std::string::npos)
        return std::string();
    const size_t end = text.find(after, start + before.size());
    return end == std::string::npos ? std::string() : text.substr(start + before.size(), end - start - before.size());
}

std::string Flash(const std::string& page)
{
    const std::string notice = Between(page, "<p class=\"notice ", "</p>");
    const size_t open = notice.find("\">");
    return open == std::string::npos ? std::string() : notice.substr(open + 2);
}

}  // namespace Tessel
