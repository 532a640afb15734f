// Fuzzes the client's decoding of event messages: any bytes, no crash, no read
// outside the input, and every text of a decoded message inside it.
#include "client/lib/decode.h"

#include <cstdlib>

namespace {

void CheckInside(const vetrona::client::TextView& text, const uint8_t* data, size_t size) {
    if (!text.empty() && (text.bytes.data() < data || text.bytes.data() + text.bytes.size() > data + size)) {
        std::abort();
    }
    (void)text.Utf8();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vetrona::client;
    DecodeResult result = DecodeEvent(std::span<const uint8_t>(data, size));
    if (!result.ok()) {
        return 0;
    }
    if (auto* f = std::get_if<FileEventView>(&result.event)) {
        CheckInside(f->name, data, size);
        CheckInside(f->destName, data, size);
        for (const auto* c : {&f->volume, &f->finalComponent, &f->extension, &f->parentDir}) {
            CheckInside(c->text, data, size);
        }
    } else if (auto* r = std::get_if<RegistryEventView>(&result.event)) {
        CheckInside(r->keyPath, data, size);
        CheckInside(r->name, data, size);
        CheckInside(r->data, data, size);
    } else if (auto* p = std::get_if<ProcessEventView>(&result.event)) {
        CheckInside(p->imageName, data, size);
        CheckInside(p->commandLine, data, size);
    }
    return 0;
}
