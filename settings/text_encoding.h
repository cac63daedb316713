// config.ini as Windows' Notepad saves it, turned into the UTF-8 the rest of the client reads:
// "Unicode" is UTF-16 with a byte-order mark, and "ANSI" writes a name such as "Zoë" in
// Windows-1252. Free of SDL and of the INI reader, so both platforms read one file the same way.
#pragma once

#include <string>

// The file's bytes as UTF-8: after a UTF-16 byte-order mark (FF FE little-endian, FE FF
// big-endian) the rest converted, an unpaired surrogate or a last odd byte becoming U+FFFD;
// anything else returned as it is.
std::string utf8_from_utf16_with_bom(const std::string& bytes);

// text as it is when it is valid UTF-8 (shortest forms, no surrogates, nothing past U+10FFFF);
// else read as Windows-1252, each byte one character (its five unassigned bytes as the C1 controls
// of the same number, as Windows converts them).
std::string utf8_or_windows_1252(const std::string& text);
