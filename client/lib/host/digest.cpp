// SHA-256 through libcrypto (Linux builds of the client library).
#include "client/lib/digest.h"

#include <openssl/evp.h>

namespace vetrona::client {

struct Sha256::Impl {
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->context = EVP_MD_CTX_new();
    impl_->failed = impl_->context == nullptr || EVP_DigestInit_ex(impl_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->context); }

void Sha256::Update(const uint8_t* data, size_t length) {
    if (impl_->failed || length == 0) return;
    impl_->failed = EVP_DigestUpdate(impl_->context, data, length) != 1;
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (impl_->failed || EVP_DigestFinal_ex(impl_->context, digest, &length) != 1) return "";
    impl_->failed = true;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

}  // namespace vetrona::client
