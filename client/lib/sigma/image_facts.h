// What an executable's bytes tell the rules: the strings of its version
// resource and its hashes (OpenSSL's libcrypto for MD5, SHA-1 and SHA-256; the
// import hash over the import table read here). The reader trusts nothing in
// the file: every offset is checked against the bytes at hand, and a file that
// does not add up yields no version strings rather than a guess.
#pragma once

#include "client/lib/sigma/fields.h"

#include <string>
#include <string_view>

namespace vetrona::client::sigma {

// Always fills the hashes; the version strings and the import hash only from
// a well-formed PE image (missing parts are left out).
ImageFacts ReadImageFacts(std::string_view bytes);

}  // namespace vetrona::client::sigma
