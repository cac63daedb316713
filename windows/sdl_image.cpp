#include "SDL_image.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace {

// libpng's own limit on a picture's height (png_set_user_limits' default): a taller header is
// refused before its row table is made.
constexpr png_uint_32 tallest_png = 1000000;

// libpng reads through SDL's file calls, so a missing file fails as SDL_image's does.
void read_from_rwops(png_structp png, png_bytep data, png_size_t length) {
    auto* file = static_cast<SDL_RWops*>(png_get_io_ptr(png));
    if (SDL_RWread(file, data, 1, static_cast<int>(length)) != static_cast<int>(length)) {
        png_error(png, "file ends early");
    }
}

// libpng's own messages go nowhere: the caller gets SDL_image's words for them. An error must
// not return to libpng, which would print it and then jump.
void on_error(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void on_warning(png_structp, png_const_charp) {}

// The surface is created before the rows are read, so a longjmp out of libpng finds it in
// *surface to free. No C++ object with a destructor lives in this frame.
bool decode(SDL_RWops* file, png_structp png, png_infop info, SDL_Surface** surface,
            std::vector<png_bytep>& rows) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_read_fn(png, file, read_from_rwops);
    png_read_info(png, info);
    // Every kind of PNG becomes 8-bit RGBA, which SDL converts to the screen's format as it does
    // SDL_image's surfaces: the same pixels in the end.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (height != rows.size()) {
        return false;
    }
    *surface =
        SDL_CreateRGBSurface(SDL_SWSURFACE, static_cast<int>(width), static_cast<int>(height), 32,
                             0x000000ff, 0x0000ff00, 0x00ff0000, 0xff000000);
    if (*surface == nullptr) {
        return false;
    }
    for (png_uint_32 y = 0; y < height; ++y) {
        rows[y] = static_cast<png_bytep>((*surface)->pixels) + y * (*surface)->pitch;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    return true;
}

// The PNG's height, read from its header before libpng starts, so that the row table can be
// made outside the frame libpng may longjmp out of. 0 when the header is not a PNG's.
png_uint_32 png_height(SDL_RWops* file) {
    png_byte header[24];
    const int start = SDL_RWtell(file);
    const bool read = SDL_RWread(file, header, 1, sizeof header) == sizeof header;
    SDL_RWseek(file, start, RW_SEEK_SET);
    if (!read || png_sig_cmp(header, 0, 8) != 0) {
        return 0;
    }
    return png_get_uint_32(header + 20);
}

} // namespace

extern "C" SDL_Surface* IMG_Load(const char* file) {
    SDL_RWops* source = SDL_RWFromFile(file, "rb");
    if (source == nullptr) {
        return nullptr; // SDL's error text names the file
    }
    const png_uint_32 height = png_height(source);
    if (height == 0) {
        SDL_RWclose(source);
        SDL_SetError("Unsupported image format");
        return nullptr;
    }
    SDL_Surface* surface = nullptr;
    bool decoded = false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info != nullptr && height <= tallest_png) {
        std::vector<png_bytep> rows(height);
        decoded = decode(source, png, info, &surface, rows);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    SDL_RWclose(source);
    if (!decoded) {
        SDL_FreeSurface(surface);
        SDL_SetError("Error reading the PNG file.");
        return nullptr;
    }
    return surface;
}
