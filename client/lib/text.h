// UTF-8 <-> UTF-16 for what a client passes to the driver (folders, names)
// and takes from the command line. Strict: malformed input is refused, never
// guessed at.
#pragma once

#include <string>
#include <string_view>

namespace vetrona::client {

// False on malformed UTF-8 (bad lead or continuation bytes, overlong forms,
// surrogates, values above U+10FFFF); *out is then empty.
bool Utf8ToUtf16(std::string_view in, std::u16string* out);
// False on an unpaired surrogate; *out is then empty.
bool Utf16ToUtf8(std::u16string_view in, std::string* out);

// A folder as the driver takes it: "C:\x" and "\\?\C:\x" become "\??\C:\x";
// NT paths ("\??\...", "\Device\...") are kept.
std::u16string NtFolderPath(std::u16string_view path);

}  // namespace vetrona::client
