#include "text_layout.h"

#include <algorithm>

LineLayout lay_out_line(const std::vector<GlyphBox>& glyphs, int ascent, int font_height) {
    LineLayout line{0, 0, {}};
    int pen = 0;
    int left = 0;
    int right = 0;
    int bottom = 0;
    // The bitmaps are drawn from a second pen, which SDL_ttf moves right only for the first
    // glyph: a later glyph reaching left of the line widens the surface but is not moved.
    int drawing_pen = 0;
    for (const GlyphBox& glyph : glyphs) {
        pen += glyph.kerning;
        drawing_pen += glyph.kerning;
        if (line.places.empty() && glyph.minx < 0) {
            drawing_pen -= glyph.minx;
        }
        left = std::min(left, pen + glyph.minx);
        right = std::max(right, pen + std::max(glyph.advance, glyph.maxx));
        bottom = std::min(bottom, glyph.miny);
        line.places.push_back({drawing_pen + glyph.minx, ascent - glyph.maxy});
        pen += glyph.advance;
        drawing_pen += glyph.advance;
    }
    line.w = right - left;
    line.h = std::max(ascent - bottom, font_height);
    return line;
}
