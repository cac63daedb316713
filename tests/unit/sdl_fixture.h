// A real SDL screen on the dummy video driver, for tests that draw without a window.
#pragma once

#include "app/process_edge.h"
#include "app/startup.h"

#include <SDL.h>
#include <gtest/gtest.h>

class DummyScreen : public testing::Test {
  protected:
    void SetUp() override {
        set_environment("SDL_VIDEODRIVER", "dummy", true);
        ASSERT_EQ(0, SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
        screen = SDL_SetVideoMode(64, 48, 32, 0);
        ASSERT_NE(nullptr, screen) << SDL_GetError();
    }
    void TearDown() override {
        screen = nullptr;
        SDL_Quit();
    }

    static Uint32 pixel(SDL_Surface* s, int x, int y) {
        return static_cast<Uint32*>(s->pixels)[y * (s->pitch / 4) + x];
    }
    static void fill(SDL_Surface* s, Uint8 r, Uint8 g, Uint8 b) {
        SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, r, g, b));
    }
};
