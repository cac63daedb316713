// The name label: rendered from UTF-8, and absent rather than fatal when it can't be made.
#include "sdl_fixture.h"
#include "settings/settings.h"
#include "world/label.h"
#include "world/player.h"

#include <SDL_ttf.h>

#include <string>
#include <unistd.h>

namespace {

// Runs make_name_label in dir (it opens "calibri.ttf" from the working directory).
void make_label_in(const std::string& dir, const std::string& name) {
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(dir.c_str()));
    settings.username = name;
    make_name_label();
    ASSERT_EQ(0, chdir(old));
}

class NameLabel : public DummyScreen {
  protected:
    void SetUp() override {
        DummyScreen::SetUp();
        ASSERT_EQ(0, TTF_Init());
        settings.screen_width = 64;
        settings.screen_height = 48;
        settings.map_width = 1280;
        settings.map_height = 960;
        camera = {0, 0, 64, 48};
    }
    void TearDown() override {
        SDL_FreeSurface(name_label);
        name_label = nullptr;
        if (font != nullptr) {
            TTF_CloseFont(font);
            font = nullptr;
        }
        TTF_Quit();
        DummyScreen::TearDown();
    }
};

} // namespace

TEST_F(NameLabel, NameIsRenderedAsUtf8) {
    make_label_in(BRACKENREACH_GAME_DIR, "Zo\xC3\xAB");
    ASSERT_NE(nullptr, font);
    ASSERT_NE(nullptr, name_label);
    int utf8_w = 0, latin1_w = 0, h = 0;
    ASSERT_EQ(0, TTF_SizeUTF8(font, "Zo\xC3\xAB", &utf8_w, &h));
    ASSERT_EQ(0, TTF_SizeText(font, "Zo\xC3\xAB", &latin1_w, &h)); // the garbled "ZoÃ«"
    EXPECT_EQ(utf8_w, name_label->w);
    EXPECT_GT(latin1_w, utf8_w); // four letters against three
}

TEST_F(NameLabel, NoLabelWithoutFontOrName) {
    const struct {
        const char* label;
        std::string dir;
        std::string name;
        bool font_opens;
    } rows[] = {
        {"no font file", "/", "Bracken", false},
        {"empty name", BRACKENREACH_GAME_DIR, "", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        make_label_in(r.dir, r.name);
        EXPECT_EQ(r.font_opens, font != nullptr);
        EXPECT_EQ(nullptr, name_label);
        fill(screen, 9, 9, 9);
        const Uint32 before = pixel(screen, 20, 10);
        Player player(16, 30);
        draw_name_label(player); // nothing to draw, nothing drawn
        EXPECT_EQ(before, pixel(screen, 20, 10));
        if (font != nullptr) {
            TTF_CloseFont(font);
            font = nullptr;
        }
    }
}

TEST_F(NameLabel, DrawnCentredAboveTheSprite) {
    make_label_in(BRACKENREACH_GAME_DIR, "Bracken");
    ASSERT_NE(nullptr, name_label);
    fill(screen, 0, 0, 0);
    Player player(16, 30);
    draw_name_label(player);
    // Bounding box of the lit pixels sits inside the label's rectangle at the computed place.
    const int left = 16 - name_label->w / 2 + 16;
    const int top = 30 - name_label->h / 2 - 16;
    int lit = 0;
    for (int y = 0; y < screen->h; ++y) {
        for (int x = 0; x < screen->w; ++x) {
            if (pixel(screen, x, y) != pixel(screen, 0, 47)) {
                ++lit;
                EXPECT_GE(x, left);
                EXPECT_LT(x, left + name_label->w);
                EXPECT_GE(y, top);
                EXPECT_LT(y, top + name_label->h);
            }
        }
    }
    EXPECT_GT(lit, 0);
}
