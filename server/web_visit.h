// One request to the web pages, as the page handlers see it: the request
// and answer, and who is signed in. Shared by the web_*.cpp files only.
#pragma once

#include "web_pages.h"

#include <httplib.h>

namespace Tessel {

struct WebPages::Visit {
    Visit(const httplib::Request& request, httplib::Response& response) : req(request), res(response) {}

    const httplib::Request& req;
    httplib::Response& res;
    bool signed_in = false;
    std::string token;  // the session cookie of a signed-in visit
    WebSessionRow session;
    AccountRecord account;
    // Shown once at the top of the page: what the last change did, or why
    // the session ended.
    std::string notice;
    bool notice_error = false;
    // The anti-forgery value of a visit that is not signed in, from its
    // cookie.
    std::string form_cookie;
};

extern const char* const kWebSessionCookie;

// Sets (or with clear, removes) a cookie of the pages: sent back on every
// path of the site, invisible to scripts, and not sent with requests that
// other sites start, other than following a link.
void SetWebCookie(httplib::Response& res, const std::string& name, const std::string& value, bool clear);

}  // namespace Tessel
