#include "SDL_ttf.h"

#include "text_layout.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

struct WinTtfFont {
    FT_Face face = nullptr;
    std::vector<FT_Byte> file; // the face reads from here as long as it is open
    int ascent = 0;
    int height = 0;
    bool kerning = false;
};

namespace {

int started = 0;
FT_Library library = nullptr;

// Whole pixels from FreeType's 26.6 fixed point, rounded as SDL_ttf rounds them.
long floor_px(FT_Pos value) {
    return (value & -64) / 64;
}
long ceil_px(FT_Pos value) {
    return ((value + 63) & -64) / 64;
}

// A glyph's box and, for drawing, its bitmap as one byte a pixel: 1 lit, 0 not.
struct Glyph {
    GlyphBox box{};
    int rows = 0;
    int width = 0;
    std::vector<Uint8> lit;
};

// SDL_ttf loads with FreeType's defaults (hinted, embedded bitmaps preferred) and draws solid
// text from the monochrome rendering.
bool load_glyph(TTF_Font* font, FT_UInt index, bool with_bitmap, Glyph& glyph) {
    if (FT_Load_Glyph(font->face, index, FT_LOAD_DEFAULT) != 0) {
        SDL_SetError("Couldn't find glyph");
        return false;
    }
    const FT_Glyph_Metrics& metrics = font->face->glyph->metrics;
    glyph.box.minx = static_cast<int>(floor_px(metrics.horiBearingX));
    glyph.box.maxx = glyph.box.minx + static_cast<int>(ceil_px(metrics.width));
    glyph.box.maxy = static_cast<int>(floor_px(metrics.horiBearingY));
    glyph.box.miny = glyph.box.maxy - static_cast<int>(ceil_px(metrics.height));
    glyph.box.advance = static_cast<int>(ceil_px(metrics.horiAdvance));
    if (!with_bitmap) {
        return true;
    }
    if (FT_Render_Glyph(font->face->glyph, FT_RENDER_MODE_MONO) != 0) {
        SDL_SetError("Couldn't render glyph");
        return false;
    }
    const FT_Bitmap& bitmap = font->face->glyph->bitmap;
    glyph.rows = static_cast<int>(bitmap.rows);
    glyph.width = static_cast<int>(bitmap.width);
    glyph.lit.assign(static_cast<std::size_t>(glyph.rows) * glyph.width, 0);
    for (int y = 0; y < glyph.rows; ++y) {
        const unsigned char* row = bitmap.buffer + y * bitmap.pitch;
        for (int x = 0; x < glyph.width; ++x) {
            int value = 0;
            switch (bitmap.pixel_mode) {
            case FT_PIXEL_MODE_MONO:
                value = (row[x / 8] >> (7 - x % 8)) & 1;
                break;
            case FT_PIXEL_MODE_GRAY2:
                value = ((row[x / 4] >> (6 - 2 * (x % 4))) & 3) >= 2;
                break;
            case FT_PIXEL_MODE_GRAY4:
                value = ((row[x / 2] >> (4 - 4 * (x % 2))) & 15) >= 8;
                break;
            default: // an embedded grey map: lit from half on
                value = row[x] >= 0x80;
                break;
            }
            glyph.lit[static_cast<std::size_t>(y) * glyph.width + x] = static_cast<Uint8>(value);
        }
    }
    return true;
}

// UTF-8 as SDL_ttf 2.0.11 reads it: 16-bit units, each lead byte taking as many bytes after it
// as it announces, whatever they are (the string's end reads as zeros), and only the low 16 bits
// kept. So a malformed name shows the same glyphs as on Linux.
std::vector<Uint16> utf8_units(const char* text) {
    const std::size_t length = std::strlen(text);
    const auto byte = [&](std::size_t i) -> Uint32 {
        return i < length ? static_cast<Uint8>(text[i]) : 0;
    };
    std::vector<Uint16> units;
    for (std::size_t i = 0; i < length; ++i) {
        Uint32 ch = byte(i);
        if (ch >= 0xF0) {
            ch = (ch & 0x07) << 18 | (byte(i + 1) & 0x3F) << 12 | (byte(i + 2) & 0x3F) << 6 |
                 (byte(i + 3) & 0x3F);
            i += 3;
        } else if (ch >= 0xE0) {
            ch = (ch & 0x0F) << 12 | (byte(i + 1) & 0x3F) << 6 | (byte(i + 2) & 0x3F);
            i += 2;
        } else if (ch >= 0xC0) {
            ch = (ch & 0x1F) << 6 | (byte(i + 1) & 0x3F);
            i += 1;
        }
        units.push_back(static_cast<Uint16>(ch));
    }
    return units;
}

std::vector<Uint16> latin1_units(const char* text) {
    std::vector<Uint16> units;
    for (; *text != '\0'; ++text) {
        units.push_back(static_cast<Uint8>(*text));
    }
    return units;
}

// The glyphs of the text in order, with the pair kerning between neighbours in whole pixels. As
// in SDL_ttf, the text ends at a unit of 0, and a byte-order mark draws nothing but says whether
// the units after it are byte-swapped. False, with the error text, when a glyph can't be loaded.
bool load_line(TTF_Font* font, const std::vector<Uint16>& units, bool with_bitmaps,
               std::vector<Glyph>& glyphs) {
    constexpr Uint16 native_mark = 0xFEFF;
    constexpr Uint16 swapped_mark = 0xFFFE;
    bool swapped = false;
    FT_UInt previous = 0;
    for (Uint16 ch : units) {
        if (ch == 0) {
            break;
        }
        if (ch == native_mark || ch == swapped_mark) {
            swapped = ch == swapped_mark;
            continue;
        }
        if (swapped) {
            ch = static_cast<Uint16>(ch << 8 | ch >> 8);
        }
        const FT_UInt index = FT_Get_Char_Index(font->face, ch);
        Glyph glyph;
        if (!load_glyph(font, index, with_bitmaps, glyph)) {
            return false;
        }
        if (font->kerning && previous != 0 && index != 0) {
            FT_Vector delta{};
            FT_Get_Kerning(font->face, previous, index, FT_KERNING_DEFAULT, &delta);
            glyph.box.kerning = static_cast<int>(delta.x >> 6);
        }
        previous = index;
        glyphs.push_back(std::move(glyph));
    }
    return true;
}

LineLayout lay_out(const TTF_Font* font, const std::vector<Glyph>& glyphs) {
    std::vector<GlyphBox> boxes;
    boxes.reserve(glyphs.size());
    for (const Glyph& glyph : glyphs) {
        boxes.push_back(glyph.box);
    }
    return lay_out_line(boxes, font->ascent, font->height);
}

// ORs a glyph's lit pixels into the surface as SDL_ttf does: no wider than its box, rows
// outside the surface skipped, and nothing past the surface's last byte.
void draw_glyph(SDL_Surface* surface, const Glyph& glyph, GlyphPlace at) {
    auto* pixels = static_cast<Uint8*>(surface->pixels);
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(surface->pitch) * surface->h;
    const int width = std::min(glyph.width, glyph.box.maxx - glyph.box.minx);
    for (int row = 0; row < glyph.rows; ++row) {
        const int y = at.y + row;
        if (y < 0 || y >= surface->h) {
            continue;
        }
        const Uint8* source = glyph.lit.data() + static_cast<std::size_t>(row) * glyph.width;
        for (int col = 0; col < width; ++col) {
            const std::ptrdiff_t offset =
                static_cast<std::ptrdiff_t>(y) * surface->pitch + at.x + col;
            if (offset >= size) {
                break;
            }
            if (offset >= 0) {
                pixels[offset] |= source[col];
            }
        }
    }
}

int size_line(TTF_Font* font, const std::vector<Uint16>& units, int* w, int* h) {
    std::vector<Glyph> glyphs;
    if (!load_line(font, units, false, glyphs)) {
        return -1;
    }
    const LineLayout line = lay_out(font, glyphs);
    if (w != nullptr) {
        *w = line.w;
    }
    if (h != nullptr) {
        *h = line.h;
    }
    return 0;
}

} // namespace

extern "C" {

int TTF_Init(void) {
    if (started == 0) {
        if (FT_Init_FreeType(&library) != 0) {
            SDL_SetError("Couldn't init FreeType engine");
            return -1;
        }
    }
    ++started;
    return 0;
}

void TTF_Quit(void) {
    if (started > 0 && --started == 0) {
        FT_Done_FreeType(library);
        library = nullptr;
    }
}

TTF_Font* TTF_OpenFont(const char* file, int ptsize) {
    if (started == 0) {
        SDL_SetError("Library not initialized");
        return nullptr;
    }
    SDL_RWops* source = SDL_RWFromFile(file, "rb");
    if (source == nullptr) {
        return nullptr; // SDL's error text names the file
    }
    auto* font = new TTF_Font;
    const int size = SDL_RWseek(source, 0, RW_SEEK_END);
    if (size > 0 && SDL_RWseek(source, 0, RW_SEEK_SET) == 0) {
        font->file.resize(static_cast<std::size_t>(size));
        if (SDL_RWread(source, font->file.data(), 1, size) != size) {
            font->file.clear();
        }
    }
    SDL_RWclose(source);
    if (FT_New_Memory_Face(library, font->file.data(), static_cast<FT_Long>(font->file.size()), 0,
                           &font->face) != 0) {
        SDL_SetError("Couldn't load font file");
        delete font;
        return nullptr;
    }
    // 0 dpi: FreeType's 72, as SDL_ttf asks.
    if (!FT_IS_SCALABLE(font->face) || FT_Set_Char_Size(font->face, 0, ptsize * 64, 0, 0) != 0) {
        SDL_SetError("Couldn't set font size");
        TTF_CloseFont(font);
        return nullptr;
    }
    // SDL_ttf's font metrics: the face's ascender and descender at this size, whole pixels up,
    // and one pixel more for the baseline.
    const FT_Fixed scale = font->face->size->metrics.y_scale;
    font->ascent = static_cast<int>(ceil_px(FT_MulFix(font->face->ascender, scale)));
    const int descent = static_cast<int>(ceil_px(FT_MulFix(font->face->descender, scale)));
    font->height = font->ascent - descent + 1;
    font->kerning = FT_HAS_KERNING(font->face);
    return font;
}

void TTF_CloseFont(TTF_Font* font) {
    if (font == nullptr) {
        return;
    }
    FT_Done_Face(font->face);
    delete font;
}

int TTF_SizeUTF8(TTF_Font* font, const char* text, int* w, int* h) {
    return size_line(font, utf8_units(text), w, h);
}

int TTF_SizeText(TTF_Font* font, const char* text, int* w, int* h) {
    return size_line(font, latin1_units(text), w, h);
}

SDL_Surface* TTF_RenderUTF8_Solid(TTF_Font* font, const char* text, SDL_Color fg) {
    std::vector<Glyph> glyphs;
    if (!load_line(font, utf8_units(text), true, glyphs)) {
        return nullptr;
    }
    const LineLayout line = lay_out(font, glyphs);
    if (line.w == 0) {
        SDL_SetError("Text has zero width");
        return nullptr;
    }
    SDL_Surface* surface = SDL_CreateRGBSurface(SDL_SWSURFACE, line.w, line.h, 8, 0, 0, 0, 0);
    if (surface == nullptr) {
        return nullptr;
    }
    SDL_Color* colours = surface->format->palette->colors;
    colours[0] = {static_cast<Uint8>(255 - fg.r), static_cast<Uint8>(255 - fg.g),
                  static_cast<Uint8>(255 - fg.b), 0};
    colours[1] = {fg.r, fg.g, fg.b, 0};
    SDL_SetColorKey(surface, SDL_SRCCOLORKEY, 0);
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        draw_glyph(surface, glyphs[i], line.places[i]);
    }
    return surface;
}

} // extern "C"
