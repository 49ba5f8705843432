#include "web_client.h"

#include <regex>

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
    static const std::regex token(R"re(name="token" value="([A-Za-z0-9]+)")re");
    std::smatch match;
    if (std::regex_search(result->body, match, token))
        token_ = match[1];
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

std::string Flash(const std::string& page)
{
    static const std::regex notice(R"re(<p class="notice [a-z]+">([^<]*)</p>)re");
    std::smatch match;
    return std::regex_search(page, match, notice) ? std::string(match[1]) : std::string();
}

}  // namespace Tessel
