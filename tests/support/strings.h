// A counted string over text the caller keeps alive (no copy, no terminator).
#pragma once

#include "platform/kernel.h"

#include <string_view>

namespace vtest {

inline UNICODE_STRING Us(std::u16string_view text) {
    const auto bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(text.data())};
}

}  // namespace vtest
