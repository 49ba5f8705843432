#include "cli.h"

#include "crash_reports.h"
#include "crypto.h"
#include "log.h"
#include "names.h"
#include "server_app.h"
#include "store.h"
#include "web_cli.h"

#include <asio/ip/address_v4.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <pthread.h>

namespace Tessel {
namespace {

const char* const kUsage =
    "usage:\n"
    "  tessel-server init DATA_DIR\n"
    "  tessel-server add-account DATA_DIR USER PASSWORD QUOTA [--frozen]\n"
    "  tessel-server set-account DATA_DIR USER [--password PASSWORD] [--quota QUOTA] [--frozen | --active]\n"
    "  tessel-server tree DATA_DIR USER\n"
    "  tessel-server crash-reports DATA_DIR\n"
    "  tessel-server registration DATA_DIR [on|off] [--quota QUOTA]\n"
    "  tessel-server reset-password DATA_DIR USER [--password PASSWORD]\n"
    "  tessel-server feedback DATA_DIR [--after ID]\n"
    "  tessel-server serve DATA_DIR [--bind ADDRESS] [--sync-port PORT] [--data-port PORT]\n"
    "                      [--http-port PORT] [--static DIR] [--public-host IPV4]\n"
    "                      [--idle-timeout SECONDS] [--session-timeout SECONDS]\n"
    "                      [--ticket-lifetime SECONDS] [--threads N] [--disk-reserve SIZE]\n"
    "                      [--max-connections N] [--max-per-address N] [--crowded-idle-timeout SECONDS]\n"
    "                      [--http-workers N] [--http-per-address N] [--header-timeout SECONDS]\n"
    "                      [--http-idle-timeout SECONDS] [--sign-on-tries N] [--sign-on-wait SECONDS]\n";

int Usage(const std::string& problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "tessel-server: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    std::fputs(kCrashReportUsage, stderr);
    return 2;
}

// Splits the arguments after the command into positionals and --options;
// flags listed in `flags` take no value.
bool SplitArgs(const std::vector<std::string>& args, const std::vector<std::string>& flags,
               std::vector<std::string>& positional, std::map<std::string, std::string>& options, std::string& error)
{
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            positional.push_back(arg);
            continue;
        }
        bool is_flag = false;
        for (const auto& flag : flags)
            is_flag = is_flag || flag == arg;
        if (is_flag) {
            options[arg] = "1";
        } else if (i + 1 < args.size()) {
            options[arg] = args[++i];
        } else {
            error = "missing value for " + arg;
            return false;
        }
    }
    return true;
}

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max)
{
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max)
        return std::nullopt;
    return value;
}

int Init(const std::vector<std::string>& positional)
{
    if (positional.size() != 1)
        return Usage("init takes one data directory");
    std::string error;
    if (!Store::Initialize(positional[0], error)) {
        std::fprintf(stderr, "tessel-server: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

std::unique_ptr<Store> OpenStore(const std::string& dir)
{
    std::string error;
    Store::Options options;
    options.clean_up = false;
    auto store = Store::Open(dir, options, error);
    if (!store)
        std::fprintf(stderr, "tessel-server: %s\n", error.c_str());
    return store;
}

int AddAccount(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.size() != 4)
        return Usage("add-account takes DATA_DIR USER PASSWORD QUOTA");
    const auto quota = ParseSize(positional[3]);
    if (!quota)
        return Usage("bad quota " + positional[3]);
    if (!IsValidUserName(positional[1]))
        return Usage("bad user name (1 to 31 characters, no control characters)");
    auto store = OpenStore(positional[0]);
    if (!store)
        return 1;
    switch (store->AddAccount(positional[1], Md5Hex(positional[2]), *quota, options.count("--frozen") > 0)) {
    case StoreStatus::Ok:
        return 0;
    case StoreStatus::NameTaken:
        std::fprintf(stderr, "tessel-server: account %s exists\n", positional[1].c_str());
        return 1;
    default:
        std::fprintf(stderr, "tessel-server: cannot add the account\n");
        return 1;
    }
}

int SetAccount(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.size() != 2)
        return Usage("set-account takes DATA_DIR USER");
    AccountChange change;
    if (options.count("--password"))
        change.password_digest = Md5Hex(options.at("--password"));
    if (options.count("--quota")) {
        change.quota = ParseSize(options.at("--quota"));
        if (!change.quota)
            return Usage("bad quota " + options.at("--quota"));
    }
    if (options.count("--frozen") && options.count("--active"))
        return Usage("--frozen and --active exclude each other");
    if (options.count("--frozen"))
        change.frozen = true;
    if (options.count("--active"))
        change.frozen = false;
    auto store = OpenStore(positional[0]);
    if (!store)
        return 1;
    const StoreStatus status = store->UpdateAccount(positional[1], change);
    if (status == StoreStatus::Ok)
        return 0;
    std::fprintf(stderr, "tessel-server: %s\n",
                 status == StoreStatus::NotFound ? "no such account" : "cannot change the account");
    return 1;
}

// Paths from the account's root, joined with "/"; false when an entry's
// parents do not lead to the root.
bool EntryPaths(const std::vector<EntryRow>& rows, std::map<std::string, const EntryRow*>& out)
{
    std::map<int64_t, const EntryRow*> by_id;
    for (const EntryRow& row : rows)
        by_id[row.id] = &row;
    for (const EntryRow& row : rows) {
        std::string path = row.name;
        int64_t parent = row.parent_id;
        // More steps than entries means a cycle.
        for (size_t steps = 0; parent != kRootFolder; ++steps) {
            const auto found = by_id.find(parent);
            if (found == by_id.end() || found->second->is_file || steps > rows.size())
                return false;
            path = found->second->name + "/" + path;
            parent = found->second->parent_id;
        }
        out[path] = &row;
    }
    return true;
}

int Tree(const std::vector<std::string>& positional)
{
    if (positional.size() != 2)
        return Usage("tree takes DATA_DIR USER");
    auto store = OpenStore(positional[0]);
    if (!store)
        return 1;
    AccountRecord account;
    if (!store->FindAccount(positional[1], account)) {
        std::fprintf(stderr, "tessel-server: no such account\n");
        return 1;
    }
    std::vector<EntryRow> rows;
    std::map<std::string, const EntryRow*> paths;
    if (store->ListAccount(account.id, rows) != StoreStatus::Ok || !EntryPaths(rows, paths)) {
        std::fprintf(stderr, "tessel-server: cannot read the tree of %s\n", positional[1].c_str());
        return 1;
    }
    for (const auto& item : paths) {
        if (item.second->is_file)
            std::printf("F\t%s\t%llu\t%s\n", item.first.c_str(), static_cast<unsigned long long>(item.second->size),
                        item.second->md5.c_str());
        else
            std::printf("D\t%s\n", item.first.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool ParsePort(const std::map<std::string, std::string>& options, const char* name, uint16_t& port)
{
    auto it = options.find(name);
    if (it == options.end())
        return true;
    const auto value = ParseNumber(it->second, 65535);
    if (!value)
        return false;
    port = static_cast<uint16_t>(*value);
    return true;
}

constexpr uint64_t kMaxSeconds = 100ull * 365 * 24 * 3600;

// The whole-number options of serve: bounds and where each goes.
struct CountOption {
    const char* name;
    uint64_t min;
    uint64_t max;
    void (*set)(ServerConfig& config, uint64_t value);
};

const CountOption kCountOptions[] = {
    {"--idle-timeout", 1, kMaxSeconds, [](ServerConfig& c, uint64_t v) { c.idle_timeout = std::chrono::seconds(v); }},
    {"--crowded-idle-timeout", 1, kMaxSeconds,
     [](ServerConfig& c, uint64_t v) { c.crowded_idle_timeout = std::chrono::seconds(v); }},
    {"--session-timeout", 1, kMaxSeconds,
     [](ServerConfig& c, uint64_t v) { c.session_timeout = std::chrono::seconds(v); }},
    {"--ticket-lifetime", 1, kMaxSeconds,
     [](ServerConfig& c, uint64_t v) { c.ticket_lifetime_seconds = static_cast<int64_t>(v); }},
    {"--threads", 0, 256, [](ServerConfig& c, uint64_t v) { c.threads = static_cast<unsigned>(v); }},
    {"--max-connections", 1, 1u << 24, [](ServerConfig& c, uint64_t v) { c.max_connections = v; }},
    {"--max-per-address", 1, 1u << 24, [](ServerConfig& c, uint64_t v) { c.max_per_address = v; }},
    {"--http-workers", 1, 1024, [](ServerConfig& c, uint64_t v) { c.http.workers = static_cast<unsigned>(v); }},
    {"--http-per-address", 1, 1u << 24, [](ServerConfig& c, uint64_t v) { c.http.per_address = v; }},
    {"--header-timeout", 1, 3600,
     [](ServerConfig& c, uint64_t v) { c.http.header_timeout = std::chrono::seconds(v); }},
    {"--http-idle-timeout", 1, 3600,
     [](ServerConfig& c, uint64_t v) { c.http.idle_timeout = std::chrono::seconds(v); }},
    {"--sign-on-tries", 1, 1000, [](ServerConfig& c, uint64_t v) { c.sign_on.free_failures = static_cast<unsigned>(v); }},
    {"--sign-on-wait", 1, 3600, [](ServerConfig& c, uint64_t v) { c.sign_on.longest_wait = std::chrono::seconds(v); }},
};

const char* const kServeTextOptions[] = {"--bind",   "--sync-port",   "--data-port",   "--http-port",
                                         "--static", "--public-host", "--disk-reserve"};

// The configuration the options give; a problem's text otherwise.
std::string ParseServeOptions(const std::map<std::string, std::string>& options, ServerConfig& config)
{
    if (options.count("--bind"))
        config.bind_address = options.at("--bind");
    uint16_t sync_port = 0;
    if (options.count("--sync-port")) {
        if (!ParsePort(options, "--sync-port", sync_port))
            return "bad --sync-port";
        config.sync_ports = {sync_port};
    }
    if (!ParsePort(options, "--data-port", config.data_port) || !ParsePort(options, "--http-port", config.http_port))
        return "bad port";
    if (options.count("--static"))
        config.static_dir = options.at("--static");
    if (options.count("--public-host")) {
        std::error_code ec;
        asio::ip::make_address_v4(options.at("--public-host"), ec);
        if (ec)
            return "--public-host must be a dotted IPv4 address";
        config.public_host = options.at("--public-host");
    }
    if (options.count("--disk-reserve")) {
        const auto reserve = ParseSize(options.at("--disk-reserve"));
        if (!reserve)
            return "bad --disk-reserve";
        config.disk_reserve = *reserve;
    }
    for (const CountOption& option : kCountOptions) {
        const auto found = options.find(option.name);
        if (found == options.end())
            continue;
        const auto value = ParseNumber(found->second, option.max);
        if (!value || *value < option.min)
            return std::string("bad ") + option.name;
        option.set(config, *value);
    }
    return {};
}

int Serve(const std::vector<std::string>& positional, const std::map<std::string, std::string>& options)
{
    if (positional.size() != 1)
        return Usage("serve takes one data directory");
    ServerConfig config;
    config.data_dir = positional[0];
    const std::string problem = ParseServeOptions(options, config);
    if (!problem.empty())
        return Usage(problem);
    std::string bad_option;
    if (!ParseCrashReportOptions(options, config.crash_reports, bad_option))
        return Usage(bad_option);

    // Every thread started from here on inherits the blocked signals; only
    // the wait below takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ServerApp app;
    std::string error;
    if (!app.Start(config, error)) {
        std::fprintf(stderr, "tessel-server: %s\n", error.c_str());
        return 1;
    }
    int received = 0;
    sigwait(&signals, &received);
    LogLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
    app.Stop();
    return 0;
}

}  // namespace

std::optional<uint64_t> ParseSize(const std::string& text)
{
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const auto number = ParseNumber(text.substr(0, digits), UINT64_MAX);
    if (!number)
        return std::nullopt;
    std::string unit = text.substr(digits);
    if (unit.size() >= 2 && (unit.substr(unit.size() - 2) == "iB"))
        unit.resize(unit.size() - 2);
    else if (!unit.empty() && unit.back() == 'B')
        unit.pop_back();
    int shift = 0;
    if (unit.empty())
        shift = 0;
    else if (unit == "K" || unit == "k")
        shift = 10;
    else if (unit == "M")
        shift = 20;
    else if (unit == "G")
        shift = 30;
    else if (unit == "T")
        shift = 40;
    else
        return std::nullopt;
    if (shift && *number > (static_cast<uint64_t>(INT64_MAX) >> shift))
        return std::nullopt;
    const uint64_t value = *number << shift;
    if (value > static_cast<uint64_t>(INT64_MAX))
        return std::nullopt;
    return value;
}

int RunCommandLine(const std::vector<std::string>& args)
{
    if (args.empty())
        return Usage("");
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::string error;
    if (!SplitArgs(args, {"--frozen", "--active"}, positional, options, error))
        return Usage(error);
    const std::string& command = args[0];
    std::vector<std::string> serve_options(std::begin(kServeTextOptions), std::end(kServeTextOptions));
    for (const CountOption& option : kCountOptions)
        serve_options.push_back(option.name);
    const std::map<std::string, std::vector<std::string>> allowed = {
        {"init", {}},
        {"add-account", {"--frozen"}},
        {"set-account", {"--password", "--quota", "--frozen", "--active"}},
        {"tree", {}},
        {"registration", {"--quota"}},
        {"reset-password", {"--password"}},
        {"feedback", {"--after"}},
        {"serve", serve_options},
        {"crash-reports", {}},
    };
    const auto known = allowed.find(command);
    if (known != allowed.end()) {
        for (const auto& option : options) {
            bool ok = false;
            for (const auto& name : known->second)
                ok = ok || name == option.first;
            ok = ok || (command == "serve" && IsCrashReportOption(option.first));
            if (!ok)
                return Usage("unknown option " + option.first + " for " + command);
        }
    }
    if (command == "init")
        return Init(positional);
    if (command == "add-account")
        return AddAccount(positional, options);
    if (command == "set-account")
        return SetAccount(positional, options);
    if (command == "tree")
        return Tree(positional);
    if (command == "serve")
        return Serve(positional, options);
    if (command == "crash-reports")
        return ListCrashReports(positional);
    if (IsWebCommand(command))
        return RunWebCommand(command, positional, options);
    return Usage(command == "--help" || command == "help" ? "" : "unknown command " + command);
}

}  // namespace Tessel
