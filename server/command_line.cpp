#include "server/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string number_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

} // namespace

CLI::Validator whole_number(unsigned long lo, unsigned long hi) {
    const std::string range = "[" + std::to_string(lo) + "," + std::to_string(hi) + "]";
    return CLI::Validator(
        [lo, hi, range](std::string& text) -> std::string {
            errno = 0;
            const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                errno != 0 || value < lo || value > hi) {
                return "needs a whole number in " + range + ", got '" + text + "'";
            }
            text = std::to_string(value);
            return "";
        },
        range);
}

CLI::Validator real_number(double lo, double hi, bool above_lo) {
    const std::string range =
        (above_lo ? "(" : "[") + number_text(lo) + "," + number_text(hi) + "]";
    return CLI::Validator(
        [lo, hi, above_lo, range](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            // Written so that NaN, which fails every comparison, is refused.
            const bool in_range = (above_lo ? value > lo : value >= lo) && value <= hi;
            if (text.empty() || *end != '\0' || !in_range) {
                return "needs a number in " + range + ", got '" + text + "'";
            }
            text = number_text(value);
            return "";
        },
        range);
}

int parse_command_line(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::puts(version.what());
        return 0;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "%s: %s\nTry --help.\n", app.get_name().c_str(), error.what());
        return 2;
    }
    return -1;
}
