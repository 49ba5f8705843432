#include "client/shell/console_texts.h"

#include <algorithm>

#include "client/shell/tray_texts.h"
#include "common/text_format.h"

namespace Helper {

namespace {

using Sync::SyncEffect;

constexpr size_t kLabelWidth = 25;
constexpr size_t kProgressWidth = 72;

std::u16string Label(std::u16string_view label)
{
    std::u16string text(label);
    text.resize(std::max(text.size() + 1, kLabelWidth), u' ');
    return text;
}

const char16_t* EffectLabel(SyncEffect effect)
{
    switch (effect) {
    case SyncEffect::Uploaded:
        return u"uploaded";
    case SyncEffect::Downloaded:
        return u"downloaded";
    case SyncEffect::DeletedHere:
        return u"deleted here";
    case SyncEffect::DeletedOnServer:
        return u"deleted on the server";
    case SyncEffect::RenamedHere:
        return u"renamed here";
    case SyncEffect::RenamedOnServer:
        return u"renamed on the server";
    case SyncEffect::FolderCreatedHere:
        return u"folder created here";
    case SyncEffect::FolderCreatedOnServer:
        return u"folder created on server";
    case SyncEffect::Conflict:
        return u"conflict";
    case SyncEffect::Error:
        return u"error";
    default:
        return nullptr;
    }
}

std::u16string EffectDetail(SyncEffect effect, uint64_t bytes)
{
    switch (effect) {
    case SyncEffect::Uploaded:
        // The server may know the contents already: nothing is sent then.
        return bytes == 0 ? u" (the server had its contents already)" : u" (" + ReadableSize(bytes) + u")";
    case SyncEffect::Downloaded:
        return u" (" + ReadableSize(bytes) + u")";
    case SyncEffect::DeletedHere:
        return u" (gone from the server)";
    case SyncEffect::Conflict:
        return u" (changed here and on the server; each side keeps its own copy)";
    case SyncEffect::Error:
        return u" (cannot be synced: no space left, or a name or path this side refuses)";
    default:
        return std::u16string();
    }
}

// The end of a long path, so that a line stays within its width.
std::u16string TailOf(std::u16string_view key, size_t width)
{
    if (key.size() <= width)
        return std::u16string(key);
    return u"…" + std::u16string(key.substr(key.size() - (width - 1)));
}

}  // namespace

const std::vector<ExitCodeText>& ExitCodeTexts()
{
    static const std::vector<ExitCodeText> texts = {
        {ExitDone, u"done: every folder listed, nothing left to do, no item in conflict or error"},
        {ExitUsage, u"the command line was not understood"},
        {ExitRefused, u"sign-on refused: unknown user, wrong password, frozen account or a malformed sign-on"},
        {ExitUnreachable, u"the sync server could not be reached or did not answer the sign-on"},
        {ExitFolder, u"the sync folder cannot be used: it is a file, or neither it nor its parent exists"},
        {ExitUnfinished, u"stopped (--timeout or Ctrl+C) before everything was in agreement"},
        {ExitProblems, u"done, but items are in conflict or in error (listed before the summary)"},
        {ExitUnlisted, u"a folder's listing never arrived whole (cut off, unreadable, or the wrong answer)"},
        {ExitIncompatible, u"the server speaks another protocol version than this program"},
    };
    return texts;
}

int ExitCodeFor(const RunEnd& end)
{
    if (end.incompatible)
        return ExitIncompatible;
    if (!end.listed)
        return ExitUnlisted;
    if (!end.quiet)
        return ExitUnfinished;
    if (end.conflicts > 0 || end.errors > 0)
        return ExitProblems;
    return ExitDone;
}

std::u16string SignOnRefusal(int result, std::u16string_view user)
{
    switch (result) {
    case 102:
        return FormatText(u"the server knows no user %s", {user});
    case 103:
        return FormatText(u"wrong password for %s", {user});
    case 104:
        return FormatText(u"the account %s is frozen (the password was right); ask the server's operator", {user});
    case 105:
        return u"the server took the sign-on for malformed (user name or password)";
    default:
        return std::u16string();
    }
}

std::u16string ReadableSize(uint64_t bytes)
{
    if (bytes < 1024)
        return FormatText(bytes == 1 ? u"%d byte" : u"%d bytes", {static_cast<int64_t>(bytes)});
    return FormatSize(static_cast<float>(bytes));
}

std::u16string TransferFigures(uint64_t bytes, uint32_t milliseconds)
{
    const double seconds = milliseconds / 1000.0;
    std::u16string text = ReadableSize(bytes) + FormatText(u" in %.1f s", {seconds});
    // A rate over less than a tenth of a second says nothing.
    if (milliseconds >= 100 && bytes > 0)
        text += u" (" + ReadableSize(static_cast<uint64_t>(bytes / seconds)) + u"/s)";
    return text;
}

std::u16string ActionLine(SyncEffect effect, std::u16string_view key, std::u16string_view old_key, uint64_t bytes)
{
    const char16_t* label = EffectLabel(effect);
    if (label == nullptr)
        return std::u16string();
    std::u16string line = Label(label);
    if (effect == SyncEffect::RenamedHere || effect == SyncEffect::RenamedOnServer)
        line += std::u16string(old_key) + u" → ";
    line += std::u16string(key);
    return line + EffectDetail(effect, bytes);
}

std::u16string ProgressLine(bool upload, std::u16string_view key, uint64_t done, uint64_t total,
                            uint32_t bytes_per_second)
{
    const int64_t percent = total == 0 ? 0 : static_cast<int64_t>(done * 100 / total);
    std::u16string figures = FormatText(u" %d%% (%s of %s", {percent, ReadableSize(done), ReadableSize(total)});
    if (bytes_per_second > 0)
        figures += u", " + ReadableSize(bytes_per_second) + u"/s";
    figures += u")";
    const std::u16string verb = upload ? u"uploading " : u"downloading ";
    const size_t room = kProgressWidth > verb.size() + figures.size() + 10
                            ? kProgressWidth - verb.size() - figures.size()
                            : 10;
    return verb + TailOf(key, room) + figures;
}

void RunCounts::Add(SyncEffect effect, uint64_t bytes, uint32_t milliseconds)
{
    const int index = static_cast<int>(effect);
    if (index < 0 || index >= static_cast<int>(SyncEffect::Count))
        return;
    effects[index]++;
    if (effect == SyncEffect::Uploaded) {
        up_bytes += bytes;
        up_ms += milliseconds;
    } else if (effect == SyncEffect::Downloaded) {
        down_bytes += bytes;
        down_ms += milliseconds;
    }
}

std::u16string SummaryLine(const RunCounts& counts, int conflicts, int errors, bool done)
{
    const int renamed = counts.Count(SyncEffect::RenamedHere) + counts.Count(SyncEffect::RenamedOnServer);
    const int folders =
        counts.Count(SyncEffect::FolderCreatedHere) + counts.Count(SyncEffect::FolderCreatedOnServer);
    return FormatText(u"%s: %d uploaded, %d downloaded, %d deleted here, %d deleted on the server, %d renamed, "
                      u"%d folders created, %d in conflict, %d in error",
                      {done ? u"done" : u"not done", counts.Count(SyncEffect::Uploaded),
                       counts.Count(SyncEffect::Downloaded), counts.Count(SyncEffect::DeletedHere),
                       counts.Count(SyncEffect::DeletedOnServer), renamed, folders, conflicts, errors});
}

std::u16string TransfersLine(const RunCounts& counts)
{
    const std::u16string up = counts.up_bytes == 0 ? u"nothing" : TransferFigures(counts.up_bytes, counts.up_ms);
    const std::u16string down =
        counts.down_bytes == 0 ? u"nothing" : TransferFigures(counts.down_bytes, counts.down_ms);
    return u"transfers: up " + up + u", down " + down;
}

}  // namespace Helper
