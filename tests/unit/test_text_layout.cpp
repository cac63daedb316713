// The label's layout as SDL_ttf 2.0.11 makes it, which the Windows build reproduces over FreeType:
// surface size and each glyph's place from the glyphs' boxes (ascent 10, font height 13).
#include "windows/text_layout.h"

#include <gtest/gtest.h>

#include <vector>

TEST(TextLayout, GlyphBoxesTable) {
    // minx, maxx, miny, maxy, advance, kerning
    const GlyphBox o{1, 6, 0, 5, 7, 0};
    const GlyphBox j{-1, 2, -5, 8, 3, 0}; // hangs left of the pen and below the descent
    const GlyphBox f{0, 6, 0, 11, 4, 0};  // reaches past its advance and above the ascent
    const GlyphBox dot{0, 1, 0, 1, 1, 0};
    const GlyphBox back{-3, 1, 0, 5, 4, 0}; // hangs left further than the glyph before it moved
    const GlyphBox kerned{1, 6, 0, 5, 7, -2};
    const struct {
        const char* label;
        std::vector<GlyphBox> glyphs;
        int w, h;
        std::vector<GlyphPlace> places;
    } rows[] = {
        {"nothing", {}, 0, 13, {}},
        {"one glyph: as wide as its advance", {o}, 7, 13, {{1, 5}}},
        {"first glyph left of the pen moves the line right", {j, o}, 11, 15, {{0, 2}, {5, 5}}},
        {"a glyph below the descent makes it taller", {o, j, o}, 17, 15, {{1, 5}, {6, 2}, {11, 5}}},
        {"a glyph past its advance widens it; above the ascent it is cut",
         {o, f},
         13,
         13,
         {{1, 5}, {7, -1}}},
        {"a later glyph left of the line widens it but is not moved",
         {dot, back},
         7,
         13,
         {{0, 9}, {-2, 5}}},
        {"kerning moves the pen before the glyph", {o, kerned}, 12, 13, {{1, 5}, {6, 5}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        const LineLayout line = lay_out_line(r.glyphs, 10, 13);
        EXPECT_EQ(r.w, line.w);
        EXPECT_EQ(r.h, line.h);
        ASSERT_EQ(r.places.size(), line.places.size());
        for (std::size_t i = 0; i < r.places.size(); ++i) {
            EXPECT_EQ(r.places[i].x, line.places[i].x) << "glyph " << i;
            EXPECT_EQ(r.places[i].y, line.places[i].y) << "glyph " << i;
        }
    }
}
