#include "common/debug_text.hpp"

#include <cstdio>

namespace arbolet {

namespace {

// Code points written as \u{...} in the debug form: controls, and the
// invisible formatting characters that would otherwise hide in a message.
bool is_unprintable(char32_t c) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return true;
    if (c == 0xad || c == 0x034f || c == 0x061c || c == 0x180e) return true;
    if ((c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x206f)) return true;
    if (c == 0xfeff || (c >= 0xfff0 && c <= 0xfffb)) return true;
    if ((c >= 0xe000 && c <= 0xf8ff) || c >= 0xf0000) return true;
    return false;
}

// Decodes one UTF-8 sequence; invalid bytes come back as U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) { return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80; };
    auto at = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3f); };
    if (b0 < 0x80) { i += 1; return b0; }
    if ((b0 & 0xe0) == 0xc0 && cont(1)) { char32_t c = ((b0 & 0x1f) << 6) | at(1); i += 2; return c; }
    if ((b0 & 0xf0) == 0xe0 && cont(1) && cont(2)) {
        char32_t c = ((b0 & 0x0f) << 12) | (at(1) << 6) | at(2); i += 3; return c;
    }
    if ((b0 & 0xf8) == 0xf0 && cont(1) && cont(2) && cont(3)) {
        char32_t c = ((b0 & 0x07) << 18) | (at(1) << 12) | (at(2) << 6) | at(3); i += 4; return c;
    }
    i += 1;
    return 0xfffd;
}

}  // namespace

std::string bounded_text(std::string_view text) {
    if (text.size() <= kMostQuotedBytes) return std::string(text);
    std::size_t cut = kMostQuotedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size()) + " bytes in all)";
}

std::string debug_quote(std::string_view text, std::size_t most_bytes) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const char32_t c = next_code_point(text, i);
        if (i > most_bytes) {
            // A message quoting a whole huge text would be as huge (several
            // times over, with escapes).
            return out + "\"... (" + std::to_string(text.size()) + " bytes in all)";
        }
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (is_unprintable(c)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
    return out;
}

}  // namespace arbolet
