#include "settings/controls.h"

#include <algorithm>
#include <cctype>

const char* const direction_names[direction_count] = {"up", "down", "left", "right"};
const char* const default_controls[direction_count] = {"Up, W", "Down, S", "Left, A", "Right, D"};

namespace {

struct NamedKey {
    int key;
    const char* name;
};

// SDL 1.2's names for the keys that are not a letter, a digit, a keypad digit, a function key or a
// "world" key (those follow below, by rule). Letters and digits are their own ASCII codes.
const NamedKey named_keys[] = {
    {8, "backspace"},
    {9, "tab"},
    {12, "clear"},
    {13, "return"},
    {19, "pause"},
    {27, "escape"},
    {32, "space"},
    {33, "!"},
    {34, "\""},
    {35, "#"},
    {36, "$"},
    {38, "&"},
    {39, "'"},
    {40, "("},
    {41, ")"},
    {42, "*"},
    {43, "+"},
    {44, ","},
    {45, "-"},
    {46, "."},
    {47, "/"},
    {58, ":"},
    {59, ";"},
    {60, "<"},
    {61, "="},
    {62, ">"},
    {63, "?"},
    {64, "@"},
    {91, "["},
    {92, "\\"},
    {93, "]"},
    {94, "^"},
    {95, "_"},
    {96, "`"},
    {127, "delete"},
    {266, "[.]"},
    {267, "[/]"},
    {268, "[*]"},
    {269, "[-]"},
    {270, "[+]"},
    {271, "enter"},
    {272, "equals"},
    {273, "up"},
    {274, "down"},
    {275, "right"},
    {276, "left"},
    {277, "insert"},
    {278, "home"},
    {279, "end"},
    {280, "page up"},
    {281, "page down"},
    {300, "numlock"},
    {301, "caps lock"},
    {302, "scroll lock"},
    {303, "right shift"},
    {304, "left shift"},
    {305, "right ctrl"},
    {306, "left ctrl"},
    {307, "right alt"},
    {308, "left alt"},
    {309, "right meta"},
    {310, "left meta"},
    {311, "left super"},
    {312, "right super"},
    {313, "alt gr"},
    {314, "compose"},
    {315, "help"},
    {316, "print screen"},
    {317, "sys req"},
    {318, "break"},
    {319, "menu"},
    {320, "power"},
    {321, "euro"},
    {322, "undo"},
};

constexpr int world_first = 160; // "world 0" .. "world 95"
constexpr int world_count = 96;
constexpr int keypad_first = 256; // "[0]" .. "[9]"
constexpr int f1 = 282;           // "f1" .. "f15"
constexpr int function_keys = 15;

std::string lower(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string trimmed(const std::string& text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

// SimpleIni keeps "W ; note" whole. ";" and "#" are keys too, so only one with a blank on either
// side starts a comment.
std::string without_comment(const std::string& text) {
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if ((text[i] == ';' || text[i] == '#') &&
            std::isspace(static_cast<unsigned char>(text[i - 1])) != 0 &&
            std::isspace(static_cast<unsigned char>(text[i + 1])) != 0) {
            return text.substr(0, i);
        }
    }
    return text;
}

// The keys of one text, or false with why it is refused.
bool parse_key_list(const std::string& text, KeyList& list, std::string& why) {
    list = KeyList{};
    const std::string value = without_comment(text);
    std::size_t begin = 0;
    while (begin <= value.size()) {
        std::size_t end = value.find(',', begin);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string name = trimmed(value.substr(begin, end - begin));
        begin = end + 1;
        if (name.empty()) {
            continue;
        }
        const int key = key_from_name(name);
        if (key == 0) {
            why = "key names (\"" + name + "\" names no key)";
            return false;
        }
        if (std::find(list.keys, list.keys + list.count, key) != list.keys + list.count) {
            continue;
        }
        if (list.count == max_keys_per_direction) {
            why = "at most " + std::to_string(max_keys_per_direction) + " key names";
            return false;
        }
        list.keys[list.count++] = static_cast<std::uint16_t>(key);
    }
    return true;
}

KeyList default_keys(int direction) {
    KeyList list;
    std::string unused;
    parse_key_list(default_controls[direction], list, unused);
    return list;
}

// A key both lists hold, or 0.
int shared_key(const KeyList& a, const KeyList& b) {
    for (int i = 0; i < a.count; ++i) {
        if (std::find(b.keys, b.keys + b.count, a.keys[i]) != b.keys + b.count) {
            return a.keys[i];
        }
    }
    return 0;
}

} // namespace

int key_from_name(const std::string& name) {
    const std::string wanted = lower(name);
    if (wanted.size() == 1 && std::isalnum(static_cast<unsigned char>(wanted[0])) != 0) {
        return static_cast<unsigned char>(wanted[0]);
    }
    for (int key = 1; key < 512 && !wanted.empty(); ++key) {
        if (key_name(key) == wanted) {
            return key;
        }
    }
    return 0;
}

std::string key_name(int key) {
    if ((key >= '0' && key <= '9') || (key >= 'a' && key <= 'z')) {
        return std::string(1, static_cast<char>(key));
    }
    if (key >= world_first && key < world_first + world_count) {
        return "world " + std::to_string(key - world_first);
    }
    if (key >= keypad_first && key < keypad_first + 10) {
        return "[" + std::to_string(key - keypad_first) + "]";
    }
    if (key >= f1 && key < f1 + function_keys) {
        return "f" + std::to_string(key - f1 + 1);
    }
    for (const NamedKey& named : named_keys) {
        if (named.key == key) {
            return named.name;
        }
    }
    return {};
}

Bindings read_bindings(const std::array<std::string, direction_count>& texts,
                       const std::function<void(int, const std::string&)>& refuse) {
    Bindings bindings;
    bool given[direction_count] = {};
    for (int d = 0; d < direction_count; ++d) {
        std::string why;
        given[d] = parse_key_list(texts[d], bindings[d], why);
        if (!given[d]) {
            refuse(d, why);
            bindings[d] = default_keys(d);
        } else {
            given[d] = texts[d] != default_controls[d];
        }
    }
    // The defaults share no key, so each round gives one more direction its default, and the
    // rounds end.
    for (bool settled = false; !settled;) {
        settled = true;
        for (int a = 0; a < direction_count && settled; ++a) {
            for (int b = a + 1; b < direction_count && settled; ++b) {
                const int key = shared_key(bindings[a], bindings[b]);
                if (key == 0) {
                    continue;
                }
                const int refused = given[b] ? b : a;
                const int other = refused == a ? b : a;
                refuse(refused, "keys of its own (\"" + key_name(key) + "\" walks " +
                                    direction_names[other] + " too)");
                bindings[refused] = default_keys(refused);
                given[refused] = false;
                settled = false;
            }
        }
    }
    return bindings;
}
