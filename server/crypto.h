// Digests, random keys and the stored form of passwords.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace Tessel {

// Incremental MD5; Hex() gives the 32 lower-case digits and ends the digest.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void Reset();
    void Update(const void* data, size_t length);
    std::string Hex();

private:
    struct CtxFree {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, CtxFree> ctx_;
};

std::string Md5Hex(std::string_view data);
// MD5 of a whole file; false when it cannot be read.
bool FileMd5(const std::string& path, std::string& hex);

// Letters and digits from the system's random source.
std::string RandomToken(size_t length);

// A password is kept as PBKDF2-HMAC-SHA256 of its MD5 digest (the form the
// client sends) with a random salt; the digest itself is never stored.
struct PasswordHash {
    std::string salt;  // hexadecimal
    std::string hash;  // hexadecimal
    int iterations = 0;
};
PasswordHash HashPasswordDigest(std::string_view digest);
bool VerifyPasswordDigest(std::string_view digest, const PasswordHash& stored);

}  // namespace Tessel
