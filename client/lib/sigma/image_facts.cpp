// Version resource and hashes of an image file.
#include "client/lib/sigma/image_facts.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace vetrona::client::sigma {

namespace {

std::string HexUpper(const unsigned char* bytes, unsigned length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string Digest(const EVP_MD* md, std::string_view bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr) != 1) return "";
    return HexUpper(out, length);
}

// Bounds-checked little-endian reads over the file.
class Bytes {
public:
    explicit Bytes(std::string_view data) : data_(data) {}
    std::optional<uint32_t> U32(uint64_t at) const {
        if (at > data_.size() || data_.size() - at < 4) return std::nullopt;
        uint32_t v;
        std::memcpy(&v, data_.data() + at, 4);
        return v;
    }
    std::optional<uint16_t> U16(uint64_t at) const {
        if (at > data_.size() || data_.size() - at < 2) return std::nullopt;
        uint16_t v;
        std::memcpy(&v, data_.data() + at, 2);
        return v;
    }
    size_t size() const { return data_.size(); }
    std::string_view Slice(uint64_t at, uint64_t length) const {
        if (at > data_.size() || data_.size() - at < length) return {};
        return data_.substr(at, length);
    }

private:
    std::string_view data_;
};

struct Section {
    uint32_t rva, virtualSize, fileOffset, rawSize;
};

class PeImage {
public:
    explicit PeImage(std::string_view data) : bytes_(data) {}

    bool Parse() {
        if (bytes_.size() < 64 || bytes_.U16(0) != 0x5A4D) return false;
        const auto peOffset = bytes_.U32(0x3C);
        if (!peOffset || bytes_.U32(*peOffset) != 0x00004550) return false;
        const uint64_t coff = *peOffset + 4ull;
        const auto sections = bytes_.U16(coff + 2), optionalSize = bytes_.U16(coff + 16);
        if (!sections || !optionalSize) return false;
        const uint64_t optional = coff + 20;
        const auto magic = bytes_.U16(optional);
        if (!magic || (*magic != 0x10B && *magic != 0x20B)) return false;
        const uint64_t directories = optional + (*magic == 0x20B ? 112 : 96);
        const auto count = bytes_.U32(directories - 4);
        if (!count) return false;
        for (uint32_t i = 0; i < std::min<uint32_t>(*count, 16); ++i) {
            const auto rva = bytes_.U32(directories + 8ull * i), size = bytes_.U32(directories + 8ull * i + 4);
            if (!rva || !size) return false;
            directory_[i] = {*rva, *size};
        }
        const uint64_t table = optional + *optionalSize;
        for (uint16_t i = 0; i < *sections; ++i) {
            const uint64_t at = table + 40ull * i;
            const auto vsize = bytes_.U32(at + 8), rva = bytes_.U32(at + 12), raw = bytes_.U32(at + 16),
                       offset = bytes_.U32(at + 20);
            if (!vsize || !rva || !raw || !offset) return false;
            sections_.push_back({*rva, *vsize, *offset, *raw});
        }
        return true;
    }

    // File offset of an RVA inside a section's raw bytes.
    std::optional<uint64_t> Offset(uint32_t rva) const {
        for (const Section& s : sections_) {
            const uint32_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.rva && rva - s.rva < extent && rva - s.rva < s.rawSize) {
                return uint64_t(s.fileOffset) + (rva - s.rva);
            }
        }
        return std::nullopt;
    }

    std::pair<uint32_t, uint32_t> Directory(int index) const { return directory_[index]; }
    const Bytes& bytes() const { return bytes_; }

    // A NUL-terminated ASCII text at an RVA (at most 512 bytes).
    std::optional<std::string> AsciiAt(uint32_t rva) const {
        const auto at = Offset(rva);
        if (!at) return std::nullopt;
        std::string out;
        for (uint64_t i = *at; i < bytes_.size() && out.size() < 512; ++i) {
            const char c = bytes_.Slice(i, 1)[0];
            if (c == 0) return out;
            out.push_back(c);
        }
        return std::nullopt;
    }

private:
    Bytes bytes_;
    std::pair<uint32_t, uint32_t> directory_[16]{};
    std::vector<Section> sections_;
};

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The import hash: MD5 of "module.function" pairs in import order, lower
// case, the module without its .dll/.ocx/.sys extension, ordinals as ordN.
std::string ImportHash(const PeImage& pe, bool pe32plus) {
    const auto [rva, size] = pe.Directory(1);
    if (rva == 0 || size == 0) return "";
    const auto start = pe.Offset(rva);
    if (!start) return "";
    std::string list;
    for (int d = 0; d < 4096; ++d) {
        const uint64_t at = *start + 20ull * d;
        const auto lookup = pe.bytes().U32(at), nameRva = pe.bytes().U32(at + 12), thunk = pe.bytes().U32(at + 16);
        if (!lookup || !nameRva || !thunk) return "";
        if (*lookup == 0 && *nameRva == 0 && *thunk == 0) break;
        auto module = pe.AsciiAt(*nameRva);
        if (!module) return "";
        module = LowerAscii(*module);
        for (const char* ext : {".dll", ".ocx", ".sys"}) {
            if (module->size() > 4 && module->compare(module->size() - 4, 4, ext) == 0) module->resize(module->size() - 4);
        }
        const auto entries = pe.Offset(*lookup != 0 ? *lookup : *thunk);
        if (!entries) return "";
        const unsigned width = pe32plus ? 8 : 4;
        for (int i = 0; i < 65536; ++i) {
            const uint64_t e = *entries + uint64_t(width) * i;
            const auto low = pe.bytes().U32(e);
            const auto high = pe32plus ? pe.bytes().U32(e + 4) : std::optional<uint32_t>(0);
            if (!low || !high) return "";
            if (*low == 0 && *high == 0) break;
            const bool ordinal = pe32plus ? (*high & 0x80000000u) != 0 : (*low & 0x80000000u) != 0;
            std::string function;
            if (ordinal) {
                function = "ord" + std::to_string(*low & 0xFFFF);
            } else {
                auto name = pe.AsciiAt((*low & 0x7FFFFFFFu) + 2);
                if (!name) return "";
                function = LowerAscii(*name);
            }
            list += (list.empty() ? "" : ",") + *module + "." + function;
        }
    }
    if (list.empty()) return "";
    return Digest(EVP_md5(), list);
}

// UTF-16LE text of `units` code units to UTF-8 (unpaired surrogates: U+FFFD).
std::string Utf16ToUtf8(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t cp = uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t lo = uint8_t(bytes[i + 2]) | (uint8_t(bytes[i + 3]) << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 63)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
            out.push_back(static_cast<char>(0x80 | (cp & 63)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 63)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
            out.push_back(static_cast<char>(0x80 | (cp & 63)));
        }
    }
    return out;
}

// A version-resource block: wLength, wValueLength, wType, a NUL-terminated
// UTF-16 key, padding to 4 bytes, the value, padding, then child blocks.
struct Block {
    std::string key;
    std::string_view value;     // bytes of the value
    std::string_view children;  // bytes of the children
    size_t length = 0;          // the whole block, padded
};

std::optional<Block> ReadBlock(std::string_view data) {
    if (data.size() < 6) return std::nullopt;
    const uint16_t length = uint8_t(data[0]) | (uint8_t(data[1]) << 8);
    const uint16_t valueLength = uint8_t(data[2]) | (uint8_t(data[3]) << 8);
    const uint16_t type = uint8_t(data[4]) | (uint8_t(data[5]) << 8);
    if (length < 6 || length > data.size()) return std::nullopt;
    const std::string_view block = data.substr(0, length);
    size_t at = 6;
    std::string_view keyBytes;
    while (true) {
        if (at + 2 > block.size()) return std::nullopt;
        if (block[at] == 0 && block[at + 1] == 0) break;
        at += 2;
    }
    keyBytes = block.substr(6, at - 6);
    at += 2;
    at = (at + 3) & ~size_t(3);
    Block out;
    out.key = Utf16ToUtf8(keyBytes);
    const size_t valueBytes = type == 1 ? size_t(valueLength) * 2 : valueLength;  // text values count characters
    if (at > block.size()) at = block.size();
    const size_t valueEnd = std::min(block.size(), at + valueBytes);
    out.value = block.substr(at, valueEnd - at);
    size_t childAt = (valueEnd + 3) & ~size_t(3);
    if (childAt > block.size()) childAt = block.size();
    out.children = block.substr(childAt);
    out.length = std::min(data.size(), (size_t(length) + 3) & ~size_t(3));
    return out;
}

void ReadStringTables(std::string_view versionInfo, std::map<std::string, std::string>* out) {
    const auto root = ReadBlock(versionInfo);
    if (!root || root->key != "VS_VERSION_INFO") return;
    std::string_view children = root->children;
    for (int guard = 0; !children.empty() && guard < 64; ++guard) {
        const auto child = ReadBlock(children);
        if (!child || child->length == 0) return;
        if (child->key == "StringFileInfo") {
            std::string_view tables = child->children;
            for (int t = 0; !tables.empty() && t < 64; ++t) {
                const auto table = ReadBlock(tables);
                if (!table || table->length == 0) break;
                std::string_view strings = table->children;
                for (int s = 0; !strings.empty() && s < 256; ++s) {
                    const auto entry = ReadBlock(strings);
                    if (!entry || entry->length == 0) break;
                    std::string value = Utf16ToUtf8(entry->value);
                    while (!value.empty() && value.back() == '\0') value.pop_back();
                    if (!out->count(entry->key)) (*out)[entry->key] = value;
                    strings.remove_prefix(entry->length);
                }
                tables.remove_prefix(table->length);
            }
        }
        children.remove_prefix(child->length);
    }
}

// The first RT_VERSION resource's bytes.
std::string_view VersionResource(const PeImage& pe) {
    const auto [rva, size] = pe.Directory(2);
    if (rva == 0) return {};
    const auto base = pe.Offset(rva);
    if (!base) return {};
    const Bytes& b = pe.bytes();
    // Three levels: type, name, language; take the entry of type 16, then the first of each level.
    auto entryOf = [&](uint64_t directory, std::optional<uint32_t> wanted) -> std::optional<uint32_t> {
        const auto named = b.U16(directory + 12), ids = b.U16(directory + 14);
        if (!named || !ids) return std::nullopt;
        const uint32_t total = uint32_t(*named) + *ids;
        for (uint32_t i = 0; i < total && i < 4096; ++i) {
            const auto id = b.U32(directory + 16 + 8ull * i), target = b.U32(directory + 20 + 8ull * i);
            if (!id || !target) return std::nullopt;
            if (!wanted || (!(*id & 0x80000000u) && *id == *wanted)) return *target;
        }
        return std::nullopt;
    };
    uint64_t directory = *base;
    std::optional<uint32_t> wanted = 16;
    for (int level = 0; level < 3; ++level) {
        const auto target = entryOf(directory, wanted);
        if (!target) return {};
        const uint64_t next = *base + (*target & 0x7FFFFFFFu);
        if (level < 2) {
            if (!(*target & 0x80000000u)) return {};
            directory = next;
            wanted.reset();
        } else {
            if (*target & 0x80000000u) return {};
            const auto dataRva = b.U32(next), dataSize = b.U32(next + 4);
            if (!dataRva || !dataSize) return {};
            const auto at = pe.Offset(*dataRva);
            if (!at) return {};
            return b.Slice(*at, std::min<uint64_t>(*dataSize, b.size() - std::min<uint64_t>(*at, b.size())));
        }
    }
    return {};
}

}  // namespace

ImageFacts ReadImageFacts(std::string_view bytes) {
    ImageFacts facts;
    std::string imphash;
    PeImage pe(bytes);
    if (pe.Parse()) {
        const auto magic = pe.bytes().U16(pe.bytes().U32(0x3C).value_or(0) + 24ull);
        imphash = ImportHash(pe, magic && *magic == 0x20B);
        std::map<std::string, std::string> strings;
        ReadStringTables(VersionResource(pe), &strings);
        static const char* const wanted[][2] = {{"OriginalFilename", "OriginalFileName"},
                                                {"FileDescription", "Description"},
                                                {"ProductName", "Product"},
                                                {"CompanyName", "Company"},
                                                {"FileVersion", "FileVersion"}};
        for (const auto& [resource, field] : wanted) {
            auto it = strings.find(resource);
            if (it != strings.end()) facts.version[field] = it->second;
        }
    }
    facts.hashes = "SHA1=" + Digest(EVP_sha1(), bytes) + ",MD5=" + Digest(EVP_md5(), bytes) + ",SHA256=" +
                   Digest(EVP_sha256(), bytes) + ",IMPHASH=" + (imphash.empty() ? std::string(32, '0') : imphash);
    return facts;
}

}  // namespace vetrona::client::sigma
