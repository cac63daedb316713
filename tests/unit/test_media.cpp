// Loading and drawing pictures on a real (dummy-driver) SDL screen.
#include "media/media.h"
#include "sdl_fixture.h"

#include <SDL_image.h>

#include <string>

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
