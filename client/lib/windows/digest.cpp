// SHA-256 through the CNG primitives (bcrypt.dll), for the Windows client.
#include "client/lib/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace vetrona::client {

struct Sha256::Impl {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->failed = !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&impl_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
                    !BCRYPT_SUCCESS(BCryptCreateHash(impl_->algorithm, &impl_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (impl_->hash != nullptr) BCryptDestroyHash(impl_->hash);
    if (impl_->algorithm != nullptr) BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
}

void Sha256::Update(const uint8_t* data, size_t length) {
    while (!impl_->failed && length != 0) {
        const ULONG piece = length > 0x40000000 ? 0x40000000UL : static_cast<ULONG>(length);
        impl_->failed = !BCRYPT_SUCCESS(BCryptHashData(impl_->hash, const_cast<PUCHAR>(data), piece, 0));
        data += piece;
        length -= piece;
    }
}

std::string Sha256::HexDigest() {
    UCHAR digest[32];
    if (impl_->failed || !BCRYPT_SUCCESS(BCryptFinishHash(impl_->hash, digest, sizeof(digest), 0))) return "";
    impl_->failed = true;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (UCHAR b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace vetrona::client
