// SHA-256 of what the client reads (copies in the backup folder, the files
// they are put back over), through the platform's own digest: libcrypto on
// Linux, the CNG primitives on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vetrona::client {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const uint8_t* data, size_t length);
    // The digest as 64 lower-case hex digits; empty when the platform's
    // digest failed. The object is spent afterwards.
    std::string HexDigest();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vetrona::client
