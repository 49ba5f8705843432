#include "crypto.h"

#include "names.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace Tessel {
namespace {

constexpr int kPasswordIterations = 10000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string ToHex(const unsigned char* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

bool FromHex(std::string_view hex, std::vector<unsigned char>& out)
{
    if (hex.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int hi = nibble(hex[i]);
        const int lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

std::vector<unsigned char> Derive(std::string_view digest, const std::vector<unsigned char>& salt, int iterations)
{
    const std::string normalized = LowerAscii(digest);
    std::vector<unsigned char> out(kHashBytes);
    PKCS5_PBKDF2_HMAC(normalized.data(), static_cast<int>(normalized.size()), salt.data(),
                      static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(out.size()),
                      out.data());
    return out;
}

}  // namespace

void Md5::CtxFree::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Md5::Md5() : ctx_(EVP_MD_CTX_new()) { Reset(); }
Md5::~Md5() = default;

void Md5::Reset() { EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr); }

void Md5::Update(const void* data, size_t length) { EVP_DigestUpdate(ctx_.get(), data, length); }

std::string Md5::Hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_.get(), digest, &length);
    return ToHex(digest, length);
}

std::string Md5Hex(std::string_view data)
{
    Md5 md5;
    md5.Update(data.data(), data.size());
    return md5.Hex();
}

bool FileMd5(const std::string& path, std::string& hex)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    Md5 md5;
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            ok = false;
            break;
        }
        md5.Update(buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    if (ok)
        hex = md5.Hex();
    return ok;
}

std::string RandomToken(size_t length)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    out.reserve(length);
    unsigned char buffer[64];
    while (out.size() < length) {
        if (RAND_bytes(buffer, sizeof buffer) != 1)
            continue;
        for (unsigned char b : buffer) {
            // 248 = 4 * 62: rejecting the rest keeps every letter equally likely.
            if (b < 248 && out.size() < length)
                out += alphabet[b % 62];
        }
    }
    return out;
}

PasswordHash HashPasswordDigest(std::string_view digest)
{
    std::vector<unsigned char> salt(kSaltBytes);
    while (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    }
    PasswordHash result;
    result.iterations = kPasswordIterations;
    result.salt = ToHex(salt.data(), salt.size());
    const auto hash = Derive(digest, salt, result.iterations);
    result.hash = ToHex(hash.data(), hash.size());
    return result;
}

bool VerifyPasswordDigest(std::string_view digest, const PasswordHash& stored)
{
    std::vector<unsigned char> salt;
    std::vector<unsigned char> expected;
    if (stored.iterations <= 0 || !FromHex(stored.salt, salt) || !FromHex(stored.hash, expected) ||
        expected.size() != kHashBytes)
        return false;
    const auto actual = Derive(digest, salt, stored.iterations);
    return CRYPTO_memcmp(actual.data(), expected.data(), kHashBytes) == 0;
}

}  // namespace Tessel
