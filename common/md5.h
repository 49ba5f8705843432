// The platform's MD5, bound by name from "AdvApi32.dll" at run time.
#pragma once

#include <cstddef>

#include "common/hex.h"

namespace Helper {

// Layout of the platform's MD5 context.
struct Md5Context {
    unsigned long i[2];
    unsigned long buf[4];
    unsigned char in[64];
    unsigned char digest[kMd5Size];
};

// Binds MD5Init, MD5Update and MD5Final once per process; true when all
// three are available. The other functions do nothing until it succeeded.
bool BindMd5();
bool Md5Available();
// Forgets the functions for the rest of the process (the tray program's
// shutdown), so that a hash in progress ends without a result; BindMd5
// fails from then on.
void UnbindMd5();

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, unsigned int length);
// False when the functions were forgotten: the context holds no digest.
bool Md5Final(Md5Context* context);

// MD5 of a buffer as 32 lower-case digits; false when MD5 is unavailable.
bool Md5Hex(const void* data, size_t length, char (&out)[kMd5HexLength + 1]);

}  // namespace Helper
