#include "settings/text_encoding.h"

#include <cstddef>

namespace {

constexpr char32_t replacement = 0xfffd;

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xd800 && unit <= 0xdbff;
}

bool is_low_surrogate(char32_t unit) {
    return unit >= 0xdc00 && unit <= 0xdfff;
}

// The length of the valid UTF-8 sequence at text[at], or 0 when there is none.
std::size_t utf8_sequence_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t lowest = 0; // the first code point too large for a shorter form
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    char32_t c = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (byte(i) & 0x3f);
    }
    const bool surrogate = c >= 0xd800 && c <= 0xdfff;
    return c >= lowest && c <= 0x10ffff && !surrogate ? length : 0;
}

bool is_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_sequence_length(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

// Windows-1252's characters for the bytes 0x80 to 0x9f; the rest of the upper half is Latin-1.
constexpr char16_t windows_1252_80_to_9f[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
};

} // namespace

std::string utf8_from_utf16_with_bom(const std::string& bytes) {
    const bool little = bytes.compare(0, 2, "\xff\xfe") == 0;
    if (!little && bytes.compare(0, 2, "\xfe\xff") != 0) {
        return bytes;
    }
    std::u16string units;
    for (std::size_t at = 2; at + 1 < bytes.size(); at += 2) {
        const auto first = static_cast<unsigned char>(bytes[at]);
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        units += static_cast<char16_t>(little ? first | second << 8 : first << 8 | second);
    }
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        const char32_t next = i + 1 < units.size() ? units[i + 1] : 0;
        if (is_high_surrogate(unit) && is_low_surrogate(next)) {
            append_utf8(0x10000 + ((unit - 0xd800) << 10) + (next - 0xdc00), out);
            ++i;
        } else {
            append_utf8(is_high_surrogate(unit) || is_low_surrogate(unit) ? replacement : unit,
                        out);
        }
    }
    if (bytes.size() % 2 != 0) {
        append_utf8(replacement, out);
    }
    return out;
}

std::string utf8_or_windows_1252(const std::string& text) {
    if (is_utf8(text)) {
        return text;
    }
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        append_utf8(byte >= 0x80 && byte <= 0x9f ? windows_1252_80_to_9f[byte - 0x80] : byte, out);
    }
    return out;
}
