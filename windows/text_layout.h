// Where SDL_ttf 2.0.11 puts each glyph of a line and how large it makes the surface, free of
// FreeType and SDL, so that the Windows build's text lands on the same pixels as Linux's.
#pragma once

#include <vector>

// One glyph's box in whole pixels, as SDL_ttf rounds FreeType's hinted metrics.
struct GlyphBox {
    int minx;    // left edge of its bitmap, right of the pen
    int maxx;    // minx plus the bitmap's width
    int miny;    // bottom edge, above the baseline (negative below it)
    int maxy;    // top edge, above the baseline
    int advance; // how far the pen moves past it
    int kerning; // how far the pen moves before it, for the pair it makes with the glyph before
};

// Where a glyph's bitmap goes on the surface: its top-left pixel.
struct GlyphPlace {
    int x;
    int y;
};

struct LineLayout {
    int w;
    int h;
    std::vector<GlyphPlace> places; // one per glyph, in order
};

// The surface is as wide as the pen's travel, widened by any glyph that reaches past it on
// either side, and as tall as the font (ascent to descent) or down to the lowest glyph. The
// glyphs hang from the font's ascent; only a first glyph reaching left of the pen moves the line
// right. A width of 0 (no glyph, or none that reaches anywhere) means there is nothing to draw.
LineLayout lay_out_line(const std::vector<GlyphBox>& glyphs, int ascent, int font_height);
