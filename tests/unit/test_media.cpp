// Loading and drawing pictures on a real (dummy-driver) SDL screen.
#include "media/media.h"
#include "scratch.h"
#include "sdl_fixture.h"

#include <SDL_image.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {
const std::string sprite_path = std::string(BRACKENREACH_SOURCE_DIR) + "/data/img/player2.png";
}

using Media = DummyScreen;

TEST_F(Media, SpriteKeepsItsTransparencyThroughLoadImage) {
    SDL_Surface* original = IMG_Load(sprite_path.c_str());
    ASSERT_NE(nullptr, original) << IMG_GetError();
    ASSERT_EQ(32, original->w);
    ASSERT_EQ(32, original->h);
    SDL_Surface* sprite = load_image(sprite_path.c_str());
    ASSERT_NE(nullptr, sprite);

    fill(screen, 255, 0, 255);
    apply_surface(0, 0, sprite, screen);
    SDL_LockSurface(original);
    int transparent = 0;
    int opaque = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            Uint8 r, g, b, a;
            Uint8 sr, sg, sb;
            SDL_GetRGBA(static_cast<Uint32*>(original->pixels)[y * (original->pitch / 4) + x],
                        original->format, &r, &g, &b, &a);
            SDL_GetRGB(pixel(screen, x, y), screen->format, &sr, &sg, &sb);
            if (a == 0) {
                ++transparent;
                EXPECT_EQ(255, sr) << x << "," << y;
                EXPECT_EQ(0, sg) << x << "," << y;
                EXPECT_EQ(255, sb) << x << "," << y;
            } else if (a == 255) {
                ++opaque;
                EXPECT_EQ(r, sr) << x << "," << y;
                EXPECT_EQ(g, sg) << x << "," << y;
                EXPECT_EQ(b, sb) << x << "," << y;
            }
        }
    }
    SDL_UnlockSurface(original);
    EXPECT_GT(transparent, 0);
    EXPECT_GT(opaque, 0);
    SDL_FreeSurface(original);
    SDL_FreeSurface(sprite);
}

TEST_F(Media, ApplySurfaceDrawsOnlyThePartInside) {
    SDL_Surface* source = SDL_CreateRGBSurface(SDL_SWSURFACE, 10, 6, 32, 0, 0, 0, 0);
    ASSERT_NE(nullptr, source);
    fill(source, 255, 255, 255);
    const Uint32 white = SDL_MapRGB(screen->format, 255, 255, 255);
    const struct {
        int x, y;
        int min_x, min_y, max_x, max_y; // drawn box, inclusive; count 0 when max < min
    } rows[] = {
        {5, 5, 5, 5, 14, 10},   {-4, -2, 0, 0, 5, 3},     {60, 45, 60, 45, 63, 47},
        {-10, 0, 0, 0, -1, -1}, {64, 0, 0, 0, -1, -1},    {0, 48, 0, 0, -1, -1},
        {-9, -5, 0, 0, 0, 0},   {54, 42, 54, 42, 63, 47},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "at " << r.x << "," << r.y);
        fill(screen, 0, 0, 0);
        apply_surface(r.x, r.y, source, screen);
        for (int y = 0; y < screen->h; ++y) {
            for (int x = 0; x < screen->w; ++x) {
                const bool inside = x >= r.min_x && x <= r.max_x && y >= r.min_y && y <= r.max_y;
                ASSERT_EQ(inside, pixel(screen, x, y) == white) << x << "," << y;
            }
        }
    }
    SDL_FreeSurface(source);
}

TEST_F(Media, MissingPictureLeavesTheLogLineOpen) {
    testing::internal::CaptureStdout();
    SDL_Surface* none = load_image("no/such/picture.png");
    EXPECT_EQ("Loading image: no/such/picture.png ... ", testing::internal::GetCapturedStdout());
    EXPECT_EQ(nullptr, none);
    fill(screen, 1, 2, 3);
    const Uint32 before = pixel(screen, 0, 0);
    apply_surface(0, 0, none, screen); // refused by the blit, no effect
    EXPECT_EQ(before, pixel(screen, 0, 0));
}

TEST_F(Media, MusicThatDidNotLoadCannotBeKeptPlaying) {
    music = nullptr;
    EXPECT_FALSE(keep_music_playing());
}

// --- Opaque pictures drawn as a plain copy: the same pixels as blending them ---

namespace {

std::uint32_t crc32_of(const std::vector<unsigned char>& bytes, std::size_t from) {
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void put_be32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(v >> shift));
    }
}

void put_chunk(std::vector<unsigned char>& png, const char* type,
               const std::vector<unsigned char>& data) {
    put_be32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t typed = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put_be32(png, crc32_of(png, typed));
}

using Chunk = std::pair<const char*, std::vector<unsigned char>>;

// A PNG file of w x h pixels of the given depth and colour type: raw is its rows, each with its
// filter byte, stored as uncompressed deflate; chunks come between the header and the pixels.
std::vector<unsigned char> png_file(int w, int h, unsigned char depth, unsigned char colour_type,
                                    const std::vector<unsigned char>& raw,
                                    const std::vector<Chunk>& chunks = {}) {
    std::vector<unsigned char> z = {0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n >= raw.size() ? 1 : 0);
        z.push_back(static_cast<unsigned char>(n));
        z.push_back(static_cast<unsigned char>(n >> 8));
        z.push_back(static_cast<unsigned char>(~n));
        z.push_back(static_cast<unsigned char>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    put_be32(z, (b << 16) | a);

    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> header;
    put_be32(header, static_cast<std::uint32_t>(w));
    put_be32(header, static_cast<std::uint32_t>(h));
    header.insert(header.end(), {depth, colour_type, 0, 0, 0});
    put_chunk(png, "IHDR", header);
    for (const auto& chunk : chunks) {
        put_chunk(png, chunk.first, chunk.second);
    }
    put_chunk(png, "IDAT", z);
    put_chunk(png, "IEND", {});
    return png;
}

// An 8-bit RGBA PNG of w x h pixels given as 0xRRGGBBAA.
std::vector<unsigned char> rgba_png(int w, int h, const std::vector<std::uint32_t>& px) {
    std::vector<unsigned char> raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(0); // filter: none
        for (int x = 0; x < w; ++x) {
            put_be32(raw, px[static_cast<std::size_t>(y * w + x)]);
        }
    }
    return png_file(w, h, 8, 6, raw);
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void write_rgba_png(const std::string& path, int w, int h, const std::vector<std::uint32_t>& px) {
    write_file(path, rgba_png(w, h, px));
}

// The picture as the window gets it (converted with alpha), one 0xRRGGBBAA a pixel; empty when
// it does not load.
std::vector<std::uint32_t> loaded_rgba(const std::string& path) {
    std::vector<std::uint32_t> out;
    SDL_Surface* loaded = IMG_Load(path.c_str());
    SDL_Surface* shown = loaded != nullptr ? SDL_DisplayFormatAlpha(loaded) : nullptr;
    for (int y = 0; shown != nullptr && y < shown->h; ++y) {
        for (int x = 0; x < shown->w; ++x) {
            Uint8 r, g, b, a;
            SDL_GetRGBA(static_cast<Uint32*>(shown->pixels)[y * (shown->pitch / 4) + x],
                        shown->format, &r, &g, &b, &a);
            out.push_back(static_cast<std::uint32_t>(r) << 24 | g << 16 | b << 8 | a);
        }
    }
    SDL_FreeSurface(shown);
    SDL_FreeSurface(loaded);
    return out;
}

// Colours that stress rounding: the channel extremes and values in between, over a background
// that differs from them, so a blend that is off by one anywhere shows.
std::vector<std::uint32_t> opaque_pattern(int w, int h) {
    std::vector<std::uint32_t> px;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::uint32_t r = (x * 37 + y * 11) & 0xff;
            const std::uint32_t g = (x % 2 == 0) ? 0xff : (y * 53) & 0xff;
            const std::uint32_t b = (y % 3 == 0) ? 0x00 : (x * y) & 0xff;
            px.push_back((r << 24) | (g << 16) | (b << 8) | 0xff);
        }
    }
    return px;
}

void paint_backdrop(SDL_Surface* s) {
    for (int y = 0; y < s->h; ++y) {
        for (int x = 0; x < s->w; ++x) {
            SDL_Rect dot = {static_cast<Sint16>(x), static_cast<Sint16>(y), 1, 1};
            SDL_FillRect(s, &dot,
                         SDL_MapRGB(s->format, static_cast<Uint8>(x * 4),
                                    static_cast<Uint8>(255 - y * 5),
                                    static_cast<Uint8>((x * y) & 0xff)));
        }
    }
}

// What the screen shows, one 0xRRGGBB per pixel: only the colour counts, not what SDL leaves in
// a pixel's unused bits (sdl12-compat sets them when it blends and clears them when it copies).
std::vector<Uint32> screen_colours(SDL_Surface* s) {
    std::vector<Uint32> out;
    const auto* base = static_cast<const Uint8*>(s->pixels);
    const int bytes = s->format->BytesPerPixel;
    for (int y = 0; y < s->h; ++y) {
        for (int x = 0; x < s->w; ++x) {
            Uint32 value = 0;
            const Uint8* p = base + y * s->pitch + x * bytes;
            if (bytes == 1) {
                value = *p;
            } else if (bytes == 2) {
                value = *reinterpret_cast<const Uint16*>(p);
            } else if (bytes == 4) {
                value = *reinterpret_cast<const Uint32*>(p);
            } else {
                value = SDL_BYTEORDER == SDL_LIL_ENDIAN ? p[0] | p[1] << 8 | p[2] << 16
                                                        : p[2] | p[1] << 8 | p[0] << 16;
            }
            Uint8 r, g, b;
            SDL_GetRGB(value, s->format, &r, &g, &b);
            out.push_back(static_cast<Uint32>(r << 16 | g << 8 | b));
        }
    }
    return out;
}

// What the window showed before the change: the picture converted with alpha and blended.
std::vector<Uint32> blended_drawing(const std::string& path, int x, int y) {
    SDL_Surface* loaded = IMG_Load(path.c_str());
    SDL_Surface* with_alpha = loaded != nullptr ? SDL_DisplayFormatAlpha(loaded) : nullptr;
    SDL_FreeSurface(loaded);
    SDL_Surface* window = SDL_GetVideoSurface();
    paint_backdrop(window);
    apply_surface(x, y, with_alpha, window);
    SDL_FreeSurface(with_alpha);
    return screen_colours(window);
}

std::vector<Uint32> load_image_drawing(const std::string& path, int x, int y,
                                       bool* blended = nullptr) {
    testing::internal::CaptureStdout(); // load_image's log lines are checked elsewhere
    SDL_Surface* picture = load_image(path.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_NE(nullptr, picture);
    if (blended != nullptr && picture != nullptr) {
        *blended = (picture->flags & SDL_SRCALPHA) != 0;
    }
    SDL_Surface* window = SDL_GetVideoSurface();
    paint_backdrop(window);
    apply_surface(x, y, picture, window);
    SDL_FreeSurface(picture);
    return screen_colours(window);
}

class OpaqueCopy : public DummyScreen, public testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        DummyScreen::SetUp();
        screen = SDL_SetVideoMode(64, 48, GetParam(), 0);
        ASSERT_NE(nullptr, screen) << SDL_GetError();
        ASSERT_EQ(GetParam(), screen->format->BitsPerPixel);
    }
    std::string scratch(const char* name) {
        return scratch_path(std::to_string(GetParam()) + "_" + name);
    }
};

} // namespace

TEST_P(OpaqueCopy, OpaquePictureGivesTheBlendedPixelsWithoutBlending) {
    const std::string path = scratch("opaque.png");
    write_rgba_png(path, 90, 70, opaque_pattern(90, 70));
    const struct { int x, y; } places[] = {{0, 0}, {-13, -7}, {20, 15}, {-40, 30}};
    for (const auto& at : places) {
        SCOPED_TRACE(testing::Message() << "at " << at.x << "," << at.y);
        bool blended = true;
        const auto after = load_image_drawing(path, at.x, at.y, &blended);
        EXPECT_EQ(blended_drawing(path, at.x, at.y), after);
        // At the default depth the plain copy is known to be exact (other depths may round a
        // blend, and then blending must stay): there it has to be taken.
        if (GetParam() == 32) {
            EXPECT_FALSE(blended) << "an opaque picture is still blended on every pass";
        }
    }
}

TEST_P(OpaqueCopy, TheRealMapGivesTheBlendedPixels) {
    const std::string map = std::string(BRACKENREACH_SOURCE_DIR) + "/data/img/background3.png";
    EXPECT_EQ(blended_drawing(map, -300, -200), load_image_drawing(map, -300, -200));
}

TEST_P(OpaqueCopy, OneSeeThroughPixelKeepsThePictureBlended) {
    const std::uint32_t almost = 0x102030feu; // alpha 254: blended, not copied
    const std::uint32_t clear = 0xff00ff00u;  // alpha 0: the backdrop shows
    for (std::uint32_t odd : {almost, clear}) {
        SCOPED_TRACE(testing::Message() << std::hex << odd);
        std::vector<std::uint32_t> px = opaque_pattern(40, 30);
        px[static_cast<std::size_t>(17 * 40 + 23)] = odd;
        const std::string path = scratch("one_odd.png");
        write_rgba_png(path, 40, 30, px);
        bool blended = false;
        const auto after = load_image_drawing(path, 5, 4, &blended);
        EXPECT_TRUE(blended);
        EXPECT_EQ(blended_drawing(path, 5, 4), after);
        if (odd == clear) {
            const auto drawn = screen_colours(screen); // the blended drawing, just made
            paint_backdrop(screen);
            const std::size_t at = (4 + 17) * static_cast<std::size_t>(screen->w) + 5 + 23;
            EXPECT_EQ(screen_colours(screen)[at], drawn[at])
                << "the transparent pixel hides the backdrop";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, OpaqueCopy, testing::Values(32, 24, 16, 8),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::to_string(param.param) + "bpp";
                         });

// --- Pictures as the Linux client loads them (SDL_image on Linux, our layer on Windows) ---

// Once the image data has decoded whole, what follows it does not matter: libpng's own readers
// keep such a picture.
TEST_F(Media, PngWithADamagedEndKeepsItsPixels) {
    const std::vector<std::uint32_t> px = opaque_pattern(9, 7);
    const std::vector<unsigned char> whole = rgba_png(9, 7, px);
    const auto end = whole.end() - 12; // IEND: length, type, checksum
    std::vector<unsigned char> bad_checksum(whole.begin(), whole.end() - 1);
    bad_checksum.push_back(static_cast<unsigned char>(~whole.back()));
    std::vector<unsigned char> garbage = whole;
    garbage.insert(garbage.end(), 300, 'x');
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
    } rows[] = {
        {"no end marker", {whole.begin(), end}},
        {"the end marker's checksum wrong", bad_checksum},
        {"garbage after the end", garbage},
    };
    const std::string path = scratch_path("damaged_end.png");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        write_file(path, row.bytes);
        EXPECT_EQ(px, loaded_rgba(path));
    }
}

// An index beyond the palette (an invalid file) is transparent where SDL_image keeps the palette
// (no tRNS chunk, or one that makes a single entry clear and the rest opaque), and opaque black
// where it has libpng expand the picture (any other tRNS), which keeps a clear entry's colour.
// sdl12-compat (Debian 13's SDL 1.2) converts a kept palette otherwise: a clear entry keeps its
// colour, and an index beyond the palette is opaque white.
TEST_F(Media, PaletteIndexBeyondThePaletteAsOnLinux) {
    const std::vector<unsigned char> palette = {200, 10, 10, 10, 200, 10, 10, 10, 200};
    const std::uint32_t red = 0xc80a0aff, green = 0x0ac80aff, red0 = 0xc80a0a00,
                        green0 = 0x0ac80a00, clear = 0, black = 0x000000ff, white = 0xffffffff;
    const struct {
        const char* name;
        unsigned char depth;
        std::vector<unsigned char> trns;            // empty: no tRNS chunk
        std::vector<std::uint32_t> classic, compat; // indices 0, 1, 5, 3; compat empty: the same
    } rows[] = {
        {"no tRNS", 8, {}, {red, green, clear, clear}, {red, green, white, white}},
        {"4 bits a pixel, no tRNS", 4, {}, {red, green, clear, clear}, {red, green, white, white}},
        {"one clear entry", 8, {255, 0}, {red, clear, clear, clear}, {red, green0, white, white}},
        {"4 bits a pixel, one clear entry",
         4,
         {0, 255, 255},
         {clear, green, clear, clear},
         {red0, green, white, white}},
        {"a partly clear entry", 8, {128}, {0xc80a0a80, green, black, black}, {}},
        {"two clear entries", 8, {0, 0}, {red0, green0, black, black}, {}},
    };
    const bool compat = SDL_Linked_Version()->patch >= 50; // classic SDL 1.2 ended at 1.2.15
    const std::string path = scratch_path("palette.png");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // Indices 0, 1, 5 and 3 of a palette of three.
        const std::vector<unsigned char> raw = row.depth == 8
                                                   ? std::vector<unsigned char>{0, 0, 1, 5, 3}
                                                   : std::vector<unsigned char>{0, 0x01, 0x53};
        std::vector<Chunk> chunks = {{"PLTE", palette}};
        if (!row.trns.empty()) {
            chunks.emplace_back("tRNS", row.trns);
        }
        write_file(path, png_file(4, 1, row.depth, 3, raw, chunks));
        EXPECT_EQ(compat && !row.compat.empty() ? row.compat : row.classic, loaded_rgba(path));
    }
}
