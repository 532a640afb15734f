// A whole file read in chunks of at most `chunk` bytes, by a back end that
// reads a part of a file at an offset. One byte past `limit` is asked for,
// so a file larger than the limit is known without reading it all.
#pragma once

#include "client/lib/transport.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace vetrona::client {

// `readAt(offset, length, &out)` appends at most `length` bytes read at
// `offset` to `out` (none at or past the end) and returns an HRESULT.
template <typename ReadAt>
HResult ReadWholeFile(ReadAt&& readAt, uint64_t limit, uint32_t chunk, std::string* bytes) {
    bytes->clear();
    limit = std::min<uint64_t>(limit, uint64_t{1} << 40);
    std::string out;
    for (;;) {
        const uint64_t room = limit - std::min<uint64_t>(limit, out.size()) + 1;
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(chunk, room));
        const size_t before = out.size();
        const HResult hr = readAt(static_cast<uint64_t>(before), want, &out);
        if (!Succeeded(hr)) return hr;
        if (out.size() - before > want) return kHrInvalidData;
        if (out.size() > limit) return kHrFileTooLarge;
        if (out.size() - before < want) break;  // a short read: the end
    }
    *bytes = std::move(out);
    return kOk;
}

}  // namespace vetrona::client
