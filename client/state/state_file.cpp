#include "client/state/state_file.h"

#include <shlobj.h>

#include <string>

#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/hex.h"
#include "common/md5.h"
#include "common/utf.h"
#include "common/xml_reader.h"
#include "common/xml_writer.h"

namespace Sync {

namespace {

constexpr DWORD kDigestBlock = 32768;
// A state file beyond this is not ours to parse.
constexpr LONGLONG kMaxStateFileSize = 1LL << 30;

const std::atomic<uint8_t>* g_abort_flag = nullptr;

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle()
    {
        if (valid())
            CloseHandle(h_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

std::u16string Decimal(int64_t value)
{
    std::string s = std::to_string(value);
    return std::u16string(s.begin(), s.end());
}

std::u16string Unsigned(uint64_t value)
{
    std::string s = std::to_string(value);
    return std::u16string(s.begin(), s.end());
}

std::u16string Widened(const char (&bytes)[kDigestLength])
{
    std::u16string s;
    for (char c : bytes)
        s.push_back(static_cast<unsigned char>(c));
    return s;
}

bool IsEmptyDigest(const char (&bytes)[kDigestLength])
{
    for (char c : bytes) {
        if (c != 0)
            return false;
    }
    return true;
}

void WriteElement(Helper::XmlWriter& w, const SyncNode& node)
{
    const SyncEntry& e = node.entry;
    const bool file = e.is_file == 1;
    w.StartElement(file ? u"FILE" : u"DIR");
    w.WriteAttribute(u"id", Decimal(e.id));
    w.WriteAttribute(u"name", Helper::AsU16(e.name));
    w.WriteAttribute(u"state", Decimal(e.state));
    w.WriteAttribute(u"update_time", Decimal(e.update_time));
    if (file) {
        w.WriteAttribute(u"size", Unsigned(e.size));
        // A record without a digest keeps an empty value: the reader takes
        // it back as "no digest" instead of dropping the whole file.
        w.WriteAttribute(u"md5", IsEmptyDigest(e.md5) ? std::u16string() : Widened(e.md5));
        w.WriteAttribute(u"local_modified", Unsigned(e.local_modified));
        if (e.upload_address != 0) {
            w.WriteAttribute(u"u_t", Widened(e.upload_token));
            w.WriteAttribute(u"u_p", Decimal(static_cast<int16_t>(e.upload_port)));
            w.WriteAttribute(u"u_a", Decimal(static_cast<int32_t>(e.upload_address)));
            w.WriteAttribute(u"u_o", Unsigned(e.upload_offset));
        }
    }
    for (const auto& child : node.children)
        WriteElement(w, *child);
    w.EndElement();
}

void CreateParentFolders(const wchar_t* path)
{
    std::wstring folder(path);
    size_t sep = folder.find_last_of(L'\\');
    if (sep == std::wstring::npos)
        return;
    folder.resize(sep);
    for (size_t i = folder.find(L'\\'); ; i = folder.find(L'\\', i + 1)) {
        std::wstring level = folder.substr(0, i);
        if (!level.empty() && level.back() != L':')
            CreateDirectoryW(level.c_str(), nullptr);
        if (i == std::wstring::npos)
            break;
    }
}

bool ReadWholeFile(const wchar_t* path, std::string* bytes)
{
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxStateFileSize)
        return false;
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1u << 24));
        if (!ReadFile(file.get(), &(*bytes)[done], want, &got, nullptr))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    bytes->resize(done);
    return true;
}

// Lenient decimal parsing: an optional sign, then digits up to the first
// other character, wrapping at 64 bits.
uint64_t ParseDecimal(const std::u16string& text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = value * 10 + (text[i] - u'0');
    return negative ? 0 - value : value;
}

// Looks an attribute up and applies its maximum length.
const std::u16string* Attr(const Helper::XmlReader& r, const char16_t* name, size_t max)
{
    const std::u16string* value = r.Attribute(name);
    return value != nullptr && value->size() <= max ? value : nullptr;
}

bool BuildEntry(const Helper::XmlReader& r, bool folder, SyncEntry* e)
{
    if (r.AttributeCount() < (folder ? 4u : 7u))
        return false;
    const std::u16string* id = Attr(r, u"id", 16);
    const std::u16string* name = Attr(r, u"name", 260);
    const std::u16string* state = Attr(r, u"state", 2);
    const std::u16string* update_time = Attr(r, u"update_time", 16);
    if (!id || !name || !state || !update_time)
        return false;
    int64_t state_value = static_cast<int64_t>(ParseDecimal(*state));
    if (!Helper::IsValidFileSyncState(state_value))
        return false;
    e->id = static_cast<int32_t>(ParseDecimal(*id));
    e->name.assign(Helper::AsWide(*name));
    e->state = static_cast<uint32_t>(state_value);
    e->update_time = static_cast<int32_t>(ParseDecimal(*update_time));
    e->is_file = folder ? 0 : 1;
    if (folder)
        return true;

    const std::u16string* size = Attr(r, u"size", 32);
    const std::u16string* md5 = Attr(r, u"md5", 32);
    const std::u16string* modified = Attr(r, u"local_modified", 32);
    if (!size || !md5 || !modified)
        return false;
    e->size = ParseDecimal(*size);
    e->local_modified = ParseDecimal(*modified);
    if (md5->size() == kDigestLength) {
        for (size_t i = 0; i < kDigestLength; ++i) {
            if (!Helper::IsHexDigit((*md5)[i]))
                return false;
            e->md5[i] = static_cast<char>((*md5)[i] & 0xff);
        }
    }

    const std::u16string* token = Attr(r, u"u_t", 32);
    if (!token)
        return true;
    if (token->size() < kDigestLength)
        return false;
    for (size_t i = 0; i < kDigestLength; ++i)
        e->upload_token[i] = static_cast<char>((*token)[i] & 0xff);
    const std::u16string* port = Attr(r, u"u_p", 8);
    if (!port)
        return true;
    e->upload_port = static_cast<uint16_t>(ParseDecimal(*port));
    const std::u16string* address = Attr(r, u"u_a", 16);
    if (!address)
        return true;
    e->upload_address = static_cast<uint32_t>(ParseDecimal(*address));
    const std::u16string* offset = Attr(r, u"u_o", 32);
    if (offset)
        e->upload_offset = ParseDecimal(*offset);
    return true;
}

bool IsLevelOpeningFolder(const Helper::XmlReader& r)
{
    return r.LocalName() == u"DIR" && !r.IsEmptyElement();
}

// Reads the content of one level into parent, up to the end of its "DIR"
// (or the end of the document at the top). False when the document ended
// in an error.
bool ReadLevel(Helper::XmlReader& r, SyncNode* parent)
{
    int skip_depth = 0;
    for (;;) {
        Helper::XmlReadResult result = r.Read();
        if (result != Helper::XmlReadResult::Node)
            return result == Helper::XmlReadResult::End;
        if (r.NodeType() == Helper::XmlNodeType::EndElement) {
            if (r.LocalName() != u"DIR")
                continue;
            if (skip_depth == 0)
                return true;
            --skip_depth;
            continue;
        }
        if (r.NodeType() != Helper::XmlNodeType::Element)
            continue;
        const bool opens_level = IsLevelOpeningFolder(r);
        if (skip_depth > 0) {
            skip_depth += opens_level ? 1 : 0;
            continue;
        }
        auto node = std::make_unique<SyncNode>();
        if (!BuildEntry(r, r.LocalName() == u"DIR", &node->entry)) {
            if (opens_level)
                skip_depth = 1;
            continue;
        }
        SyncNode* added = AttachChild(parent, std::move(node));
        if (opens_level && !ReadLevel(r, added))
            return false;
    }
}

bool WriteDocument(const wchar_t* path, const std::string& bytes)
{
    // Truncated in place: the overlay may hold the file open for reading
    // at any moment, which a replace by rename would not survive.
    FileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        if (!WriteFile(file.get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

}  // namespace

void SetStateDigestAbortFlag(const std::atomic<uint8_t>* flag) { g_abort_flag = flag; }

void StateFilePathFor(const wchar_t* user_name, wchar_t (&path)[kPathCapacity])
{
    path[0] = L'\0';
    wchar_t app_data[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, app_data, CSIDL_APPDATA, FALSE))
        return;
    Helper::FormatBounded(path, kPathCapacity, L"%s\\Tavo\\Tessel\\%s.user_cfg", app_data, user_name);
}

bool WriteStateFile(const SyncNode* root, const wchar_t* path, std::string* buffer)
{
    if (root == nullptr || path == nullptr || path[0] == L'\0')
        return false;
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        CreateParentFolders(path);

    std::string scratch;
    Helper::XmlWriter w(std::move(buffer != nullptr ? *buffer : scratch));
    w.SetIndent(true);
    w.StartDocument();
    w.StartElement(u"ROOT");
    for (const auto& child : root->children)
        WriteElement(w, *child);
    w.EndDocument();
    const bool written = WriteDocument(path, w.Output());
    if (buffer != nullptr)
        *buffer = w.TakeOutput();
    return written;
}

bool ReadStateFile(const wchar_t* path, SyncNode* root)
{
    std::string bytes;
    if (root == nullptr || !ReadWholeFile(path, &bytes))
        return false;
    Helper::XmlReader reader(bytes);
    ReadLevel(reader, root);
    return true;
}

bool StateFileDigest(const wchar_t* path, char (&digest)[33])
{
    if (!Helper::BindMd5())
        return false;
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    Helper::Md5Context context{};
    Helper::Md5Init(&context);
    std::unique_ptr<unsigned char[]> block(new unsigned char[kDigestBlock]);
    for (;;) {
        if (g_abort_flag != nullptr && g_abort_flag->load() != 0)
            return false;
        DWORD got = 0;
        if (!ReadFile(file.get(), block.get(), kDigestBlock, &got, nullptr))
            return false;
        if (got == 0)
            break;
        Helper::Md5Update(&context, block.get(), got);
    }
    Helper::Md5Final(&context);
    Helper::FormatDigestHex(context.digest, digest);
    return true;
}

}  // namespace Sync
