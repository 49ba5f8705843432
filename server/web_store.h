// What the web pages keep beside the accounts and entries, in tables of
// their own in the same database: the registration settings, the signed-in
// browser sessions, one recovery code per account and the feedback
// messages. Also the one tree change the sync protocol has no command for:
// moving an entry into another folder.
#pragma once

#include "sqlite_db.h"
#include "store.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tessel {

struct WebSettings {
    bool registration_open = true;
    uint64_t default_quota = 1ull << 30;
};

struct WebSessionRow {
    int64_t account_id = 0;
    // The account's password salt when the session began: any change of
    // the password gives a new salt and so ends the session.
    std::string credential;
    std::string csrf;
    int64_t created = 0;
    int64_t last_used = 0;
    std::string flash;
};

struct FeedbackRow {
    int64_t id = 0;
    int64_t created = 0;
    std::string address;
    std::string account;
    std::string contact;
    std::string message;
};

enum class RecoveryCheck { Accepted, Refused, Error };

enum class MoveStatus { Moved, Unchanged, NotFound, NoSuchFolder, IntoItself, NameTaken, FolderFull, Error };

class WebStore {
public:
    // Opens the database of an initialized data directory and adds the
    // web tables when they are missing.
    static std::unique_ptr<WebStore> Open(const std::string& dir, std::string& error);

    bool ReadSettings(WebSettings& out);
    bool WriteSettings(const WebSettings& settings);

    // Replaces the account's recovery code; only a hash of it is kept.
    bool SetRecoveryCode(int64_t account, const std::string& code);
    // Accepted consumes the code, so that it serves once.
    RecoveryCheck TakeRecoveryCode(int64_t account, const std::string& code);
    // Puts back a code taken by TakeRecoveryCode when what it was taken
    // for failed.
    bool RestoreRecoveryCode(int64_t account, const std::string& code);

    // A new session; the token goes into the cookie, only its hash is kept.
    bool CreateSession(int64_t account, const std::string& credential, int64_t now, std::string& token,
                       std::string& csrf);
    bool FindSession(const std::string& token, WebSessionRow& out);
    bool TouchSession(const std::string& token, int64_t now);
    bool EndSession(const std::string& token);
    // Ends sessions unused since idle_cutoff or begun before created_cutoff.
    bool EndStaleSessions(int64_t idle_cutoff, int64_t created_cutoff);
    bool SetFlash(const std::string& token, const std::string& text);

    bool AddFeedback(const FeedbackRow& row);
    bool ListFeedback(int64_t after_id, std::vector<FeedbackRow>& out);

    // Moves an entry (a folder with everything in it) into another folder
    // of the same account. The entry gets a new update stamp, so that the
    // clients see it leave one folder and appear in the other.
    MoveStatus Move(int64_t account, int64_t id, int64_t target, EntryRow& out);

private:
    explicit WebStore(const std::string& dir);
    MoveStatus CheckMoveTarget(SqliteConnection& db, int64_t account, const EntryRow& entry, int64_t target);

    ConnectionPool pool_;
};

// Lower-case hexadecimal SHA-256, for keeping tokens without keeping them.
std::string Sha256Hex(const std::string& text);

}  // namespace Tessel
