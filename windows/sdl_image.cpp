#include "SDL_image.h"

#include <gif_lib.h>
#include <png.h>

#include <cstdio> // jpeglib.h uses FILE without including it
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace {

// libpng's own limit on a picture's height (png_set_user_limits' default): a taller header is
// refused before its row table is made.
constexpr png_uint_32 tallest_png = 1000000;

// The pixel that stands for r, g, b, a in a surface made by rgba_surface (bytes R, G, B, A in
// memory on the little-endian machines Windows runs on).
constexpr Uint32 rgba(Uint8 r, Uint8 g, Uint8 b, Uint8 a) {
    return static_cast<Uint32>(r) | static_cast<Uint32>(g) << 8 | static_cast<Uint32>(b) << 16 |
           static_cast<Uint32>(a) << 24;
}

SDL_Surface* rgba_surface(int width, int height) {
    return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x000000ff, 0x0000ff00,
                                0x00ff0000, 0xff000000);
}

// Each row of surface holds palette indices, one a byte, in its first surface->w bytes; they
// become the pixels colours gives them, from the right so that no index is overwritten unread.
void expand_indices(SDL_Surface* surface, const Uint32 colours[256]) {
    for (int y = 0; y < surface->h; ++y) {
        Uint8* row = static_cast<Uint8*>(surface->pixels) + y * surface->pitch;
        for (int x = surface->w - 1; x >= 0; --x) {
            const Uint32 pixel = colours[row[x]];
            std::memcpy(row + 4 * x, &pixel, sizeof pixel);
        }
    }
}

// --- PNG, with libpng ---

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

// The colours of a palette PNG's 256 possible indices, as the Linux client gets them: SDL_image
// keeps the palette of a picture whose tRNS chunk is absent or makes just one entry transparent
// and the rest opaque, and SDL converts that entry, and any index beyond the palette (an invalid
// file), to transparent black; any other picture it has libpng expand, which keeps the colour of
// a transparent entry and makes an index beyond the palette opaque black.
void png_colours(png_structp png, png_infop info, Uint32 colours[256]) {
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &palette, &count);
    png_bytep alpha = nullptr;
    int alphas = 0;
    png_get_tRNS(png, info, &alpha, &alphas, nullptr);
    int transparent = 0;
    bool only_clear_or_opaque = true;
    for (int i = 0; i < alphas; ++i) {
        transparent += alpha[i] == 0 ? 1 : 0;
        only_clear_or_opaque = only_clear_or_opaque && (alpha[i] == 0 || alpha[i] == 255);
    }
    const bool palette_kept = only_clear_or_opaque && transparent <= 1;
    const Uint32 clear = rgba(0, 0, 0, 0);
    for (int i = 0; i < 256; ++i) {
        if (i >= count) {
            colours[i] = palette_kept ? clear : rgba(0, 0, 0, 255);
            continue;
        }
        const Uint8 a = i < alphas ? alpha[i] : 255;
        colours[i] = palette_kept && a == 0
                         ? clear
                         : rgba(palette[i].red, palette[i].green, palette[i].blue, a);
    }
}

// The surface is created before the rows are read, so a longjmp out of libpng finds it in
// *surface to free. No C++ object with a destructor lives in this frame.
bool decode_png(SDL_RWops* file, png_structp png, png_infop info, SDL_Surface** surface,
                std::vector<png_bytep>& rows) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_read_fn(png, file, read_from_rwops);
    png_read_info(png, info);
    // Every kind of PNG becomes 8-bit RGBA, which SDL converts to the screen's format as it does
    // SDL_image's surfaces: the same pixels in the end. A palette picture is read as its indices,
    // a byte each, and looked up here.
    const bool indexed = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE;
    if (indexed) {
        png_set_packing(png);
    } else {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (height != rows.size()) {
        return false;
    }
    *surface = rgba_surface(static_cast<int>(width), static_cast<int>(height));
    if (*surface == nullptr) {
        return false;
    }
    for (png_uint_32 y = 0; y < height; ++y) {
        rows[y] = static_cast<png_bytep>((*surface)->pixels) + y * (*surface)->pitch;
    }
    png_read_image(png, rows.data());
    // The image data has decoded whole: what follows it (the end marker, its checksum, anything
    // after) is left unread, so a picture with a damaged or missing end is kept, as SDL_image and
    // libpng's own readers keep it.
    if (indexed) {
        Uint32 colours[256];
        png_colours(png, info, colours);
        expand_indices(*surface, colours);
    }
    return true;
}

// The PNG's height, read from its header before libpng starts, so that the row table can be
// made outside the frame libpng may longjmp out of.
png_uint_32 png_height(SDL_RWops* file) {
    png_byte header[24];
    const int start = SDL_RWtell(file);
    const bool read = SDL_RWread(file, header, 1, sizeof header) == sizeof header;
    SDL_RWseek(file, start, RW_SEEK_SET);
    return read ? png_get_uint_32(header + 20) : 0;
}

SDL_Surface* load_png(SDL_RWops* file) {
    const png_uint_32 height = png_height(file);
    SDL_Surface* surface = nullptr;
    bool decoded = false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info != nullptr && height != 0 && height <= tallest_png) {
        std::vector<png_bytep> rows(height);
        decoded = decode_png(file, png, info, &surface, rows);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (!decoded) {
        SDL_FreeSurface(surface);
        SDL_SetError("Error reading the PNG file.");
        return nullptr;
    }
    return surface;
}

// --- JPEG, with libjpeg-turbo ---

struct JpegErrors {
    jpeg_error_mgr manager; // first: libjpeg hands the error routines a pointer to it
    std::jmp_buf failed;
};

void on_jpeg_error(j_common_ptr jpeg) {
    std::longjmp(reinterpret_cast<JpegErrors*>(jpeg->err)->failed, 1);
}
void on_jpeg_message(j_common_ptr, int) {}

// As decode_png: the surface is in *surface before any row is read, and nothing in this frame
// has a destructor. A file that ends early decodes in full, its missing part grey, as on Linux.
bool decode_jpeg(const std::vector<Uint8>& data, jpeg_decompress_struct* jpeg, JpegErrors* errors,
                 SDL_Surface** surface) {
    if (setjmp(errors->failed) != 0) {
        return false;
    }
    jpeg_mem_src(jpeg, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(jpeg, TRUE);
    jpeg->out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(jpeg);
    *surface =
        rgba_surface(static_cast<int>(jpeg->output_width), static_cast<int>(jpeg->output_height));
    if (*surface == nullptr) {
        return false;
    }
    while (jpeg->output_scanline < jpeg->output_height) {
        JSAMPROW row = static_cast<JSAMPROW>((*surface)->pixels) +
                       static_cast<int>(jpeg->output_scanline) * (*surface)->pitch;
        jpeg_read_scanlines(jpeg, &row, 1);
    }
    return true;
}

SDL_Surface* load_jpeg(const std::vector<Uint8>& data) {
    jpeg_decompress_struct jpeg{};
    JpegErrors errors{};
    jpeg.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = on_jpeg_error;
    errors.manager.emit_message = on_jpeg_message;
    jpeg_create_decompress(&jpeg);
    SDL_Surface* surface = nullptr;
    const bool decoded = decode_jpeg(data, &jpeg, &errors, &surface);
    jpeg_destroy_decompress(&jpeg);
    if (!decoded) {
        SDL_FreeSurface(surface);
        SDL_SetError("JPEG loading error");
        return nullptr;
    }
    return surface;
}

// --- GIF, with giflib: the first picture of the file, as SDL_image shows it ---

struct Cursor {
    const std::vector<Uint8>* data;
    std::size_t at;
};

int read_from_memory(GifFileType* gif, GifByteType* out, int count) {
    auto* cursor = static_cast<Cursor*>(gif->UserData);
    const std::size_t left = cursor->data->size() - cursor->at;
    const std::size_t wanted = static_cast<std::size_t>(count);
    const std::size_t n = wanted < left ? wanted : left;
    std::memcpy(out, cursor->data->data() + cursor->at, n);
    cursor->at += n;
    return static_cast<int>(n);
}

// The picture whose descriptor giflib has just read; transparent is the index its graphic
// control block made see-through (-1: none). An index beyond the colour map is transparent black,
// as the palette SDL_image makes of the map draws it.
SDL_Surface* gif_picture(GifFileType* gif, int transparent) {
    const GifImageDesc& image = gif->Image;
    const ColorMapObject* map = image.ColorMap != nullptr ? image.ColorMap : gif->SColorMap;
    if (map == nullptr || image.Width <= 0 || image.Height <= 0) {
        return nullptr;
    }
    SDL_Surface* surface = rgba_surface(image.Width, image.Height);
    if (surface == nullptr) {
        return nullptr;
    }
    // An interlaced picture's rows come in four passes: every eighth from 0, every eighth from
    // 4, every fourth from 2, every second from 1.
    const int first[] = {0, 4, 2, 1};
    const int step[] = {8, 8, 4, 2};
    const int passes = image.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int by = image.Interlace ? step[pass] : 1;
        for (int y = image.Interlace ? first[pass] : 0; y < image.Height; y += by) {
            auto* row = static_cast<GifPixelType*>(surface->pixels) + y * surface->pitch;
            if (DGifGetLine(gif, row, image.Width) == GIF_ERROR) {
                SDL_FreeSurface(surface);
                return nullptr;
            }
        }
    }
    Uint32 colours[256];
    for (int i = 0; i < 256; ++i) {
        const GifColorType* c = i < map->ColorCount ? &map->Colors[i] : nullptr;
        colours[i] = c == nullptr ? rgba(0, 0, 0, 0)
                                  : rgba(c->Red, c->Green, c->Blue, i == transparent ? 0 : 255);
    }
    expand_indices(surface, colours);
    return surface;
}

SDL_Surface* first_gif_picture(GifFileType* gif) {
    int transparent = -1;
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    while (record != TERMINATE_RECORD_TYPE) {
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) {
            return nullptr;
        }
        if (record == IMAGE_DESC_RECORD_TYPE) {
            return DGifGetImageDesc(gif) == GIF_ERROR ? nullptr : gif_picture(gif, transparent);
        }
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) {
                return nullptr;
            }
            GraphicsControlBlock control{};
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr &&
                DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
                transparent = control.TransparentColor;
            }
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) {
                    return nullptr;
                }
            }
        }
    }
    return nullptr;
}

SDL_Surface* load_gif(const std::vector<Uint8>& data) {
    Cursor cursor{&data, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&cursor, read_from_memory, &error);
    SDL_Surface* surface = gif != nullptr ? first_gif_picture(gif) : nullptr;
    if (gif != nullptr) {
        DGifCloseFile(gif, &error);
    }
    if (surface == nullptr) {
        SDL_SetError("Error reading the GIF file.");
    }
    return surface;
}

// --- BMP, with SDL's own reader ---

// SDL_image takes the fourth byte of a 32-bit BMP's pixels for alpha, where SDL's reader leaves
// it out: a copy with that byte as alpha.
SDL_Surface* load_bmp(SDL_RWops* file) {
    SDL_Surface* bmp = SDL_LoadBMP_RW(file, 0);
    if (bmp == nullptr || bmp->format->BitsPerPixel != 32 || bmp->format->Amask != 0) {
        return bmp;
    }
    const SDL_PixelFormat* f = bmp->format;
    SDL_Surface* with_alpha =
        SDL_CreateRGBSurface(SDL_SWSURFACE, bmp->w, bmp->h, 32, f->Rmask, f->Gmask, f->Bmask,
                             ~(f->Rmask | f->Gmask | f->Bmask));
    if (with_alpha != nullptr) {
        for (int y = 0; y < bmp->h; ++y) {
            std::memcpy(static_cast<Uint8*>(with_alpha->pixels) + y * with_alpha->pitch,
                        static_cast<const Uint8*>(bmp->pixels) + y * bmp->pitch,
                        static_cast<std::size_t>(bmp->w) * 4);
        }
    }
    SDL_FreeSurface(bmp);
    return with_alpha;
}

// --- the format, from the file's first bytes as SDL_image tells it ---

enum class Format { png, jpeg, gif, bmp, unknown };

Format format_of(SDL_RWops* file) {
    Uint8 magic[8] = {};
    const int start = SDL_RWtell(file);
    const int got = SDL_RWread(file, magic, 1, sizeof magic);
    SDL_RWseek(file, start, RW_SEEK_SET);
    if (got == static_cast<int>(sizeof magic) && png_sig_cmp(magic, 0, sizeof magic) == 0) {
        return Format::png;
    }
    if (got >= 3 && magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff) {
        return Format::jpeg;
    }
    if (got >= 6 &&
        (std::memcmp(magic, "GIF87a", 6) == 0 || std::memcmp(magic, "GIF89a", 6) == 0)) {
        return Format::gif;
    }
    if (got >= 2 && magic[0] == 'B' && magic[1] == 'M') {
        return Format::bmp;
    }
    return Format::unknown;
}

// The rest of file from where it stands; empty when it cannot be read.
std::vector<Uint8> rest_of(SDL_RWops* file) {
    const int start = SDL_RWtell(file);
    const int end = SDL_RWseek(file, 0, RW_SEEK_END);
    SDL_RWseek(file, start, RW_SEEK_SET);
    std::vector<Uint8> data(end > start ? static_cast<std::size_t>(end - start) : 0);
    const int size = static_cast<int>(data.size());
    if (size > 0 && SDL_RWread(file, data.data(), 1, size) != size) {
        data.clear();
    }
    return data;
}

} // namespace

extern "C" SDL_Surface* IMG_Load(const char* file) {
    SDL_RWops* source = SDL_RWFromFile(file, "rb");
    if (source == nullptr) {
        return nullptr; // SDL's error text names the file
    }
    SDL_Surface* surface = nullptr;
    switch (format_of(source)) {
    case Format::png:
        surface = load_png(source);
        break;
    case Format::jpeg:
        surface = load_jpeg(rest_of(source));
        break;
    case Format::gif:
        surface = load_gif(rest_of(source));
        break;
    case Format::bmp:
        surface = load_bmp(source);
        break;
    case Format::unknown:
        SDL_SetError("Unsupported image format");
        break;
    }
    SDL_RWclose(source);
    return surface;
}
