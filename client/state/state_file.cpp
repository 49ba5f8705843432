#include "client/state/state_file.h"

#include <shlobj.h>

#include <string>

#include "client/net/app_host.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/hex.h"
#include "common/md5.h"
#include "common/state_file_grammar.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "common/xml_reader.h"
#include "common/xml_writer.h"

namespace Sync {

namespace {

constexpr DWORD kDigestBlock = 32768;
// A state file beyond this is not ours to parse.
constexpr LONGLONG kMaxStateFileSize = 1LL << 30;

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

// A text value as it is, or, when XML cannot carry it, as a stand-in with
// the exact value beside it.
void WriteText(Helper::CXmlWriter& w, const Helper::StateAttribute& attribute, std::u16string_view value)
{
    if (w.WriteAttribute(attribute.name, value))
        return;
    w.WriteAttribute(attribute.name, Helper::CarriableText(value));
    w.WriteAttribute(Helper::StateExactName(attribute.name), Helper::EncodeStateExact(value));
}

void WriteElement(Helper::CXmlWriter& w, const SyncNode& node)
{
    using namespace Helper;
    const SyncEntry& e = node.entry;
    const bool file = e.is_file == 1;
    w.StartElement(file ? kStateFileElement : kStateFolderElement);
    w.WriteAttribute(kStateId.name, Decimal(e.id));
    WriteText(w, kStateName, AsU16(e.name));
    w.WriteAttribute(kStateState.name, Decimal(e.state));
    w.WriteAttribute(kStateUpdateTime.name, Decimal(e.update_time));
    if (file) {
        w.WriteAttribute(kStateSize.name, Unsigned(e.size));
        // A record without a digest keeps an empty value: the reader takes
        // it back as "no digest" instead of dropping the whole file.
        w.WriteAttribute(kStateMd5.name, IsEmptyDigest(e.md5) ? std::u16string() : Widened(e.md5));
        w.WriteAttribute(kStateLocalModified.name, Unsigned(e.local_modified));
        if (e.upload_address != 0) {
            WriteText(w, kStateUploadToken, Widened(e.upload_token));
            w.WriteAttribute(kStateUploadPort.name, Decimal(static_cast<int16_t>(e.upload_port)));
            w.WriteAttribute(kStateUploadAddress.name, Decimal(static_cast<int32_t>(e.upload_address)));
            w.WriteAttribute(kStateUploadOffset.name, Unsigned(e.upload_offset));
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
    Helper::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxStateFileSize)
        return false;
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1u << 24));
        if (!ReadFile(file.Get(), &(*bytes)[done], want, &got, nullptr))
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
const std::u16string* Attr(const Helper::CXmlReader& r, const Helper::StateAttribute& attribute)
{
    const std::u16string* value = r.Attribute(attribute.name);
    return value != nullptr && Helper::FitsStateAttribute(*value, attribute) ? value : nullptr;
}

// A text attribute: its exact form when the element has one, else the
// plain value under the same rules as Attr.
const std::u16string* TextAttr(const Helper::CXmlReader& r, const Helper::StateAttribute& attribute,
                               std::u16string* exact)
{
    const std::u16string* encoded = r.Attribute(Helper::StateExactName(attribute.name));
    if (encoded != nullptr && Helper::DecodeStateExact(*encoded, attribute, exact))
        return exact;
    return Attr(r, attribute);
}

// The fields every element carries.
bool ReadItemFields(const Helper::CXmlReader& r, bool folder, SyncEntry* e)
{
    using namespace Helper;
    const std::u16string* id = Attr(r, kStateId);
    std::u16string exact_name;
    const std::u16string* name = TextAttr(r, kStateName, &exact_name);
    const std::u16string* state = Attr(r, kStateState);
    const std::u16string* update_time = Attr(r, kStateUpdateTime);
    if (!id || !name || !state || !update_time)
        return false;
    int64_t state_value = static_cast<int64_t>(ParseDecimal(*state));
    if (!IsValidFileSyncState(state_value))
        return false;
    e->id = static_cast<int32_t>(ParseDecimal(*id));
    e->name.assign(AsWide(*name));
    e->state = static_cast<uint32_t>(state_value);
    e->update_time = static_cast<int32_t>(ParseDecimal(*update_time));
    e->is_file = folder ? 0 : 1;
    return true;
}

// Narrows a value of exactly kDigestLength characters; false when it is
// shorter or, with hex_only, holds a character other than a hex digit.
bool ReadDigestValue(const std::u16string& value, bool hex_only, char (&out)[kDigestLength])
{
    if (value.size() < kDigestLength)
        return false;
    for (size_t i = 0; i < kDigestLength; ++i) {
        if (hex_only && !Helper::IsHexDigit(value[i]))
            return false;
        out[i] = static_cast<char>(value[i] & 0xff);
    }
    return true;
}

// The upload ticket, taken in order up to the first attribute missing.
bool ReadTicketFields(const Helper::CXmlReader& r, SyncEntry* e)
{
    using namespace Helper;
    std::u16string exact_token;
    const std::u16string* token = TextAttr(r, kStateUploadToken, &exact_token);
    if (!token)
        return true;
    if (!ReadDigestValue(*token, false, e->upload_token))
        return false;
    const std::u16string* port = Attr(r, kStateUploadPort);
    if (!port)
        return true;
    e->upload_port = static_cast<uint16_t>(ParseDecimal(*port));
    const std::u16string* address = Attr(r, kStateUploadAddress);
    if (!address)
        return true;
    e->upload_address = static_cast<uint32_t>(ParseDecimal(*address));
    const std::u16string* offset = Attr(r, kStateUploadOffset);
    if (offset)
        e->upload_offset = ParseDecimal(*offset);
    return true;
}

bool BuildEntry(const Helper::CXmlReader& r, bool folder, SyncEntry* e)
{
    using namespace Helper;
    if (r.AttributeCount() < (folder ? kStateFolderAttributeCount : kStateFileAttributeCount))
        return false;
    if (!ReadItemFields(r, folder, e))
        return false;
    if (folder)
        return true;
    const std::u16string* size = Attr(r, kStateSize);
    const std::u16string* md5 = Attr(r, kStateMd5);
    const std::u16string* modified = Attr(r, kStateLocalModified);
    if (!size || !md5 || !modified)
        return false;
    e->size = ParseDecimal(*size);
    e->local_modified = ParseDecimal(*modified);
    // An empty digest stays unknown.
    if (md5->size() == kDigestLength && !ReadDigestValue(*md5, true, e->md5))
        return false;
    return ReadTicketFields(r, e);
}

bool IsLevelOpeningFolder(const Helper::CXmlReader& r)
{
    return r.LocalName() == Helper::kStateFolderElement && !r.IsEmptyElement();
}

// Reads the content of one level into parent, up to the end of its "DIR"
// (or the end of the document at the top). False when the document ended
// in an error.
bool ReadLevel(Helper::CXmlReader& r, SyncNode* parent)
{
    int skip_depth = 0;
    for (;;) {
        Helper::XmlReadResult result = r.Read();
        if (result != Helper::XmlReadResult::Node)
            return result == Helper::XmlReadResult::End;
        if (r.NodeType() == Helper::XmlNodeType::EndElement) {
            if (r.LocalName() != Helper::kStateFolderElement)
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
        if (!BuildEntry(r, r.LocalName() == Helper::kStateFolderElement, &node->entry)) {
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
    Helper::CFileHandle file(
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        if (!WriteFile(file.Get(), bytes.data() + done, want, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

}  // namespace

void StateFilePathFor(const wchar_t* user_name, wchar_t (&path)[kPathCapacity])
{
    path[0] = L'\0';
    wchar_t app_data[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, app_data, CSIDL_APPDATA, FALSE))
        return;
    Helper::FormatBounded(path, kPathCapacity, Helper::kStateFilePathFormat, app_data, user_name);
}

bool WriteStateFile(const SyncNode* root, const wchar_t* path, std::string* buffer)
{
    if (root == nullptr || path == nullptr || path[0] == L'\0')
        return false;
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        CreateParentFolders(path);

    std::string scratch;
    Helper::CXmlWriter w(std::move(buffer != nullptr ? *buffer : scratch));
    w.SetIndent(true);
    w.StartDocument();
    w.StartElement(Helper::kStateRootElement);
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
    Helper::CXmlReader reader(bytes);
    ReadLevel(reader, root);
    return true;
}

bool StateFileDigest(const wchar_t* path, char (&digest)[33])
{
    if (!Helper::BindMd5())
        return false;
    Helper::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    Helper::Md5Context context{};
    Helper::Md5Init(&context);
    std::unique_ptr<unsigned char[]> block(new unsigned char[kDigestBlock]);
    for (;;) {
        if (Helper::AppAborting())
            return false;
        DWORD got = 0;
        if (!ReadFile(file.Get(), block.get(), kDigestBlock, &got, nullptr))
            return false;
        if (got == 0)
            break;
        Helper::Md5Update(&context, block.get(), got);
    }
    if (!Helper::Md5Final(&context))
        return false;
    Helper::FormatDigestHex(context.digest, digest);
    return true;
}

}  // namespace Sync
