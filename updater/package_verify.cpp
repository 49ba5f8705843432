#include "updater/package_verify.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "common/md5.h"
#include "common/win_handle.h"
#include "updater/http_fetch.h"

namespace Updater {

namespace {

bool FileExists(const wchar_t* path)
{
    Helper::CFileHandle probe(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return probe.Valid();
}

}  // namespace

bool ComputeFileMd5Hex(const wchar_t* path, wchar_t (&hex)[Helper::kMd5HexLength + 1])
{
    hex[0] = L'\0';
    if (!Helper::Md5Available())
        return false;
    Helper::CFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    Helper::Md5Context context{};
    Helper::Md5Init(&context);
    std::vector<unsigned char> chunk(kTransferChunkBytes);
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk.data(), kTransferChunkBytes, &read, nullptr) && read > 0)
        Helper::Md5Update(&context, chunk.data(), read);
    if (!Helper::Md5Final(&context))
        return false;
    Helper::FormatDigestHex(context.digest, hex);
    return true;
}

bool VerifyPackage(const wchar_t* path, const wchar_t* expected)
{
    if (!FileExists(path))
        return false;
    wchar_t actual[Helper::kMd5HexLength + 1];
    if (!ComputeFileMd5Hex(path, actual))
        return false;
    return std::wcscmp(actual, expected) == 0;
}

}  // namespace Updater
