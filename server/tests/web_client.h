// Test support: a browser as the web pages see it, with a cookie jar and
// the anti-forgery token of the last page it fetched.
#pragma once

#include "web_text.h"

#include <httplib.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Tessel {

class WebClient {
public:
    explicit WebClient(uint16_t port);

    httplib::Result Get(const std::string& path);
    // Posts a form; the token of the last page is added unless the fields
    // name one.
    httplib::Result Post(const std::string& path, FormFields fields);
    // Posts the upload form: the token, the folder, then each file.
    httplib::Result Upload(int64_t folder, const std::vector<std::pair<std::string, std::string>>& files);
    // Signs in through the sign-in form; true when the pages answered with
    // the way to the files.
    bool SignIn(const std::string& user, const std::string& password);

    const std::string& token() const { return token_; }
    void set_token(const std::string& token) { token_ = token; }
    std::string cookie(const std::string& name) const;
    void set_cookie(const std::string& name, const std::string& value) { cookies_[name] = value; }
    // The Set-Cookie headers of the last answer.
    const std::vector<std::string>& set_cookies() const { return set_cookies_; }

private:
    httplib::Headers Headers() const;
    httplib::Result Remember(httplib::Result result);

    httplib::Client client_;
    std::map<std::string, std::string> cookies_;
    std::vector<std::string> set_cookies_;
    std::string token_;
};

// The text between the first `before` and the next `after`, or empty.
std::string Between(const std::string& text, const std::string& before, const std::string& after);

// The notice at the top of a page (what the last change did), or empty.
std::string Flash(const std::string& page);

}  // namespace Tessel
