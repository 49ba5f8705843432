#include "web_cli.h"

#include "cli.h"
#include "crypto.h"
#include "store.h"
#include "web_pages.h"
#include "web_store.h"
#include "web_text.h"

#include <cstdio>
#include <ctime>

namespace Tessel {
namespace {

int Fail(const std::string& text, int code = 1)
{
    std::fprintf(stderr, "tessel-server: %s\n", text.c_str());
    return code;
}

std::unique_ptr<WebStore> OpenWebStore(const std::string& dir)
{
    std::string error;
    auto store = WebStore::Open(dir, error);
    if (!store)
        Fail(error);
    return store;
}

// tessel-server registration DATA_DIR [on|off] [--quota QUOTA]
int Registration(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.empty() || positional.size() > 2 || (positional.size() == 2 && positional[1] != "on" &&
                                                        positional[1] != "off"))
        return Fail("registration takes DATA_DIR [on|off] [--quota QUOTA]", 2);
    auto web = OpenWebStore(positional[0]);
    WebSettings settings;
    if (!web || !web->ReadSettings(settings))
        return Fail("cannot read the registration settings");
    if (positional.size() == 2)
        settings.registration_open = positional[1] == "on";
    if (options.count("--quota")) {
        const auto quota = ParseSize(options.at("--quota"));
        if (!quota)
            return Fail("bad quota " + options.at("--quota"), 2);
        settings.default_quota = *quota;
    }
    if ((positional.size() == 2 || options.count("--quota")) && !web->WriteSettings(settings))
        return Fail("cannot change the registration settings");
    std::printf("registration %s\ndefault quota %llu (%s)\n", settings.registration_open ? "on" : "off",
                static_cast<unsigned long long>(settings.default_quota), SizeText(settings.default_quota).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// tessel-server reset-password DATA_DIR USER [--password PASSWORD]: a new
// password (made up when none is given) and a new recovery code.
int ResetPassword(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.size() != 2)
        return Fail("reset-password takes DATA_DIR USER [--password PASSWORD]", 2);
    const bool made_up = !options.count("--password");
    const std::string password = made_up ? RandomToken(12) : options.at("--password");
    std::string error;
    Store::Options store_options;
    store_options.clean_up = false;
    auto store = Store::Open(positional[0], store_options, error);
    if (!store)
        return Fail(error);
    auto web = OpenWebStore(positional[0]);
    AccountRecord account;
    if (!web)
        return 1;
    if (!store->FindAccount(positional[1], account))
        return Fail("no such account");
    AccountChange change;
    change.password_digest = Md5Hex(password);
    if (store->UpdateAccount(account.name, change) != StoreStatus::Ok)
        return Fail("cannot change the password");
    const std::string code = NewRecoveryCode();
    if (!web->SetRecoveryCode(account.id, code))
        return Fail("the password is changed, but no new recovery code could be stored");
    if (made_up)
        std::printf("password: %s\n", password.c_str());
    std::printf("recovery code: %s\n", code.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Feedback comes from anybody: control characters would reach the
// operator's terminal.
std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 && c != '\n') || u == 0x7F ? '?' : c;
    }
    return out;
}

std::string Indented(const std::string& text)
{
    std::string out = "    ";
    for (char c : Printable(text))
        out += c == '\n' ? std::string("\n    ") : std::string(1, c);
    return out;
}

// tessel-server feedback DATA_DIR [--after ID]
int Feedback(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.size() != 1)
        return Fail("feedback takes DATA_DIR [--after ID]", 2);
    const auto after = options.count("--after") ? ParseEntryId(options.at("--after")) : std::optional<int64_t>(0);
    if (!after)
        return Fail("bad --after", 2);
    auto web = OpenWebStore(positional[0]);
    std::vector<FeedbackRow> rows;
    if (!web || !web->ListFeedback(*after, rows))
        return Fail("cannot read the feedback");
    for (const FeedbackRow& row : rows) {
        const std::time_t when = static_cast<std::time_t>(row.created);
        std::tm utc{};
        gmtime_r(&when, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%SZ", &utc);
        std::printf("#%lld %s from %s%s%s%s%s\n%s\n", static_cast<long long>(row.id), stamp, row.address.c_str(),
                    row.account.empty() ? "" : ", account ", Printable(row.account).c_str(),
                    row.contact.empty() ? "" : ", contact ", Printable(row.contact).c_str(),
                    Indented(row.message).c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

bool IsWebCommand(const std::string& command)
{
    return command == "registration" || command == "reset-password" || command == "feedback";
}

int RunWebCommand(const std::string& command, const std::vector<std::string>& positional,
                  const std::map<std::string, std::string>& options)
{
    if (command == "registration")
        return Registration(positional, options);
    if (command == "reset-password")
        return ResetPassword(positional, options);
    return Feedback(positional, options);
}

}  // namespace Tessel
