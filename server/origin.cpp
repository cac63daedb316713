#include "server/origin.h"

#include <cctype>

std::string normal_origin(std::string_view text) {
    std::string origin;
    for (const char c : text) {
        origin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::size_t rest = origin.rfind("http://", 0) == 0    ? 7
                             : origin.rfind("https://", 0) == 0 ? 8
                                                                : 0;
    if (rest == 0 || rest == origin.size()) {
        return "";
    }
    for (std::size_t i = rest; i < origin.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(origin[i]);
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':' && c != '[' &&
            c != ']') {
            return "";
        }
    }
    const std::string_view default_port = rest == 7 ? ":80" : ":443";
    if (origin.size() > rest + default_port.size() &&
        origin.compare(origin.size() - default_port.size(), default_port.size(), default_port) ==
            0) {
        origin.resize(origin.size() - default_port.size());
    }
    return origin;
}
