// Fuzzes what stands between a run's text and the report page: the JSON
// embedded in a <script> element must be printable ASCII without '<', '>' or
// '&' and read back as the same value; a page title must hold no markup
// character but in a character reference; registry data of any type, any
// bytes and any length becomes text without a crash.
#include "client/lib/report.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

namespace {

void Expect(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool ValidUtf8(const std::string& text) {
    try {
        (void)vetrona::client::Json(text).dump();
        return true;
    } catch (const vetrona::client::Json::type_error&) {
        return false;
    }
}

void CheckScriptSafe(const vetrona::client::Json& value) {
    using vetrona::client::Json;
    const std::string out = vetrona::client::ScriptSafeJson(value);
    for (char c : out) {
        const auto b = static_cast<unsigned char>(c);
        Expect(b >= 0x20 && b < 0x7f && c != '<' && c != '>' && c != '&');
    }
    // Escaping changes how the value is written, never what it is.
    Expect(Json::parse(out) == Json::parse(value.dump(-1, ' ', false, Json::error_handler_t::replace)));
}

void CheckTitle(const std::string& text) {
    const std::string out = vetrona::client::TitleText(text);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto b = static_cast<unsigned char>(out[i]);
        Expect(b >= 0x20 && b < 0x7f && out[i] != '<' && out[i] != '>' && out[i] != '"' && out[i] != '\'');
        if (out[i] == '&') {
            // Only as a reference: "&#x" hex digits ";".
            Expect(out.compare(i, 3, "&#x") == 0);
            size_t j = i + 3;
            while (j < out.size() && std::isxdigit(static_cast<unsigned char>(out[j]))) ++j;
            Expect(j > i + 3 && j < out.size() && out[j] == ';');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vetrona::client::Json;
    FuzzedDataProvider in(data, size);
    const std::string text = in.ConsumeRandomLengthString(4096);
    const std::string key = in.ConsumeRandomLengthString(64);
    const uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 12);
    const bool truncated = in.ConsumeBool();
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

    Json value = {{"path", text}, {"list", Json::array({text, key})}};
    value[key] = text;
    CheckScriptSafe(value);
    if (ValidUtf8(text)) {
        Expect(Json::parse(vetrona::client::ScriptSafeJson(value))["path"].get<std::string>() == text);
    }
    CheckTitle(text);

    const std::string shown = vetrona::client::RegistryDataText(type, bytes, truncated);
    CheckScriptSafe(Json{{"data", shown}});
    CheckTitle(shown);
    (void)vetrona::client::RegistryStrings(bytes);
    return 0;
}
