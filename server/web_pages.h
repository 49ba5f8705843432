// The service's web pages on the HTTP server: the home page, registration,
// password recovery, feedback and the online file management. Changes
// made here go through the store like the sync server's, so the clients
// pick them up at their next scan.
#pragma once

#include "store.h"
#include "web_rate_limit.h"
#include "web_store.h"
#include "web_template.h"
#include "web_text.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace Tessel {

struct WebConfig {
    // A browser session ends after this long without a request, and after
    // its lifetime in any case.
    std::chrono::seconds session_idle{30 * 60};
    std::chrono::seconds session_lifetime{12 * 3600};
    // Attempts per address: sign-ins, registrations, password recoveries
    // and feedback messages.
    RateLimit sign_in{10, std::chrono::seconds(300)};
    RateLimit registration{10, std::chrono::seconds(600)};
    RateLimit recovery{5, std::chrono::seconds(900)};
    RateLimit feedback{10, std::chrono::seconds(3600)};
};

// A recovery code as shown to the user: four groups of five letters and
// digits that cannot be mistaken for one another.
std::string NewRecoveryCode();
// The code as typed, reduced to the form it was issued in (upper case,
// blanks and dashes removed, regrouped); empty when it cannot be one.
std::string NormalizeRecoveryCode(const std::string& typed);

class WebPages {
public:
    WebPages(Store& store, const WebConfig& config, std::string data_dir, std::string static_dir);
    ~WebPages();
    WebPages(const WebPages&) = delete;
    WebPages& operator=(const WebPages&) = delete;

    // Opens the web tables and reads the templates.
    bool Open(std::string& error);
    // Adds the pages' routes; called before the server listens.
    void Mount(httplib::Server& server);

private:
    struct Visit;
    struct UploadJob;
    using Route = std::function<void(const httplib::Request&, httplib::Response&)>;
    using FormRoute = std::function<void(const httplib::Request&, httplib::Response&, const httplib::ContentReader&)>;

    // Routes that begin each request's visit before calling the page.
    Route Page(std::function<void(Visit&)> handler);
    FormRoute Form(std::function<void(Visit&, const FormFields&)> handler, bool change);

    // web_pages.cpp: sessions, tokens, answers.
    void BeginVisit(Visit& visit);
    void EndSessionFor(Visit& visit, const std::string& why);
    std::string FormToken(Visit& visit);
    bool TokenMatches(const Visit& visit, const FormFields& form) const;
    bool ReadForm(Visit& visit, const httplib::ContentReader& reader, FormFields& form);
    bool Admit(Visit& visit, RateLimiter& limiter);
    void SendPage(Visit& visit, int status, const std::string& title, const std::string& content);
    void SendMessage(Visit& visit, int status, const std::string& heading, const std::string& text,
                     const std::string& link = "/", const std::string& link_text = "返回首页");
    void SendForgery(Visit& visit);
    // An entry or folder of the account that is not there (or not its).
    void SendNotFound(Visit& visit, const std::string& what);
    void Redirect(Visit& visit, const std::string& location, const std::string& flash = "");
    std::string Notice(const std::string& text, bool error) const;
    std::string Render(const char* name, const TemplateValues& values) const;
    void ServeAsset(const httplib::Request& req, httplib::Response& res);
    int64_t Now() const;

    // web_account_pages.cpp: home page, registration, recovery, feedback.
    void Home(Visit& visit);
    std::string InstallerLink() const;
    void RegisterForm(Visit& visit, int status, const std::string& error, const std::string& user);
    void Register(Visit& visit, const FormFields& form);
    std::string CheckNewAccount(const std::string& user, const std::string& password, const std::string& confirm);
    std::string IssueRecoveryCode(int64_t account);
    void PasswordForm(Visit& visit, int status, const std::string& error, const std::string& user);
    void ResetPassword(Visit& visit, const FormFields& form);
    void FeedbackForm(Visit& visit, int status, const std::string& error, const FormFields& form);
    void SendFeedback(Visit& visit, const FormFields& form);

    // web_files_pages.cpp: signing in and out, listing, changes, downloads.
    void Files(Visit& visit);
    void SignInForm(Visit& visit, int status, const std::string& error, const std::string& user);
    void SignIn(Visit& visit, const FormFields& form);
    void SignOut(Visit& visit, const FormFields& form);
    bool FolderPath(Visit& visit, int64_t folder, std::string& html);
    void EntryPage(Visit& visit);
    std::string MoveTargets(Visit& visit, const EntryRow& entry);
    void MakeFolder(Visit& visit, const FormFields& form);
    void RenameEntry(Visit& visit, const FormFields& form);
    void MoveEntry(Visit& visit, const FormFields& form);
    void DeleteEntry(Visit& visit, const FormFields& form);
    void Download(Visit& visit);
    bool SignedInChange(Visit& visit, const httplib::ContentReader& reader, FormFields& form);
    bool OwnEntry(Visit& visit, const std::string& id_text, EntryRow& entry);

    // web_upload.cpp: files sent from the browser, streamed to disk.
    void Upload(Visit& visit, const httplib::ContentReader& reader);
    bool StartUploadPart(UploadJob& job, const std::string& field, const std::string& filename);
    bool ReceiveUploadData(UploadJob& job, const char* data, size_t length);
    void FinishUploadPart(UploadJob& job, bool complete);
    std::string CommitUploadFile(UploadJob& job);

    Store& store_;
    WebConfig config_;
    std::string data_dir_;
    std::string static_dir_;
    std::unique_ptr<WebStore> web_;
    std::map<std::string, Template> templates_;
    RateLimiter sign_in_limit_;
    RateLimiter registration_limit_;
    RateLimiter recovery_limit_;
    RateLimiter feedback_limit_;
    // Checked against an unknown user's password, so that a wrong name
    // takes as long as a wrong password.
    PasswordHash decoy_;
};

}  // namespace Tessel
