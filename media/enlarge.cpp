#include "media/enlarge.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// One row: each pixel written scale times. With the pixel's type and the scale known here the
// compiler turns the inner loop into vector stores (GCC: interleaving shuffles for 2, 3 and 4);
// scales above 4 take the loop with a run-time count.
// Pixels are read and written through memcpy: rows need not be aligned to the pixel's size (a
// pitch is any byte count), and the compiler still emits plain, vectorisable moves.
template <typename Pixel, int Scale>
void widen_row(const unsigned char* source, int width, unsigned char* destination) {
    for (int x = 0; x < width; ++x) {
        Pixel pixel;
        std::memcpy(&pixel, source + sizeof(Pixel) * static_cast<std::size_t>(x), sizeof pixel);
        for (int k = 0; k < Scale; ++k) {
            std::memcpy(destination + sizeof(Pixel) * static_cast<std::size_t>(x * Scale + k),
                        &pixel, sizeof pixel);
        }
    }
}

template <typename Pixel>
void widen_row_by(const unsigned char* source, int width, unsigned char* destination, int scale) {
    for (int x = 0; x < width; ++x) {
        Pixel pixel;
        std::memcpy(&pixel, source + sizeof(Pixel) * static_cast<std::size_t>(x), sizeof pixel);
        for (int k = 0; k < scale; ++k) {
            std::memcpy(destination, &pixel, sizeof pixel);
            destination += sizeof pixel;
        }
    }
}

// Three-byte pixels have no type of their own: byte by byte.
void widen_row_of_triples(const unsigned char* source, int width, unsigned char* destination,
                          int scale) {
    for (int x = 0; x < width; ++x) {
        for (int k = 0; k < scale; ++k) {
            std::memcpy(destination, source + 3 * x, 3);
            destination += 3;
        }
    }
}

template <typename Pixel>
void widen(const unsigned char* source, int width, unsigned char* destination, int scale) {
    switch (scale) {
    case 1:
        std::memcpy(destination, source, sizeof(Pixel) * static_cast<std::size_t>(width));
        break;
    case 2:
        widen_row<Pixel, 2>(source, width, destination);
        break;
    case 3:
        widen_row<Pixel, 3>(source, width, destination);
        break;
    case 4:
        widen_row<Pixel, 4>(source, width, destination);
        break;
    default:
        widen_row_by<Pixel>(source, width, destination, scale);
    }
}

} // namespace

void enlarge_pixels(const unsigned char* source, int source_pitch, int width, int height,
                    int bytes_per_pixel, unsigned char* destination, int destination_pitch,
                    int scale) {
    const std::size_t row_bytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(bytes_per_pixel * scale);
    for (int y = 0; y < height; ++y) {
        const unsigned char* in = source + static_cast<std::ptrdiff_t>(y) * source_pitch;
        unsigned char* first =
            destination + static_cast<std::ptrdiff_t>(y) * scale * destination_pitch;
        switch (bytes_per_pixel) {
        case 1:
            widen<std::uint8_t>(in, width, first, scale);
            break;
        case 2:
            widen<std::uint16_t>(in, width, first, scale);
            break;
        case 3:
            widen_row_of_triples(in, width, first, scale);
            break;
        default:
            widen<std::uint32_t>(in, width, first, scale);
        }
        // The other rows of the square are copies of the first.
        for (int k = 1; k < scale; ++k) {
            std::memcpy(first + static_cast<std::ptrdiff_t>(k) * destination_pitch, first,
                        row_bytes);
        }
    }
}

RowSpan keep_changed_rows(const unsigned char* frame, int frame_pitch, unsigned char* kept,
                          int kept_pitch, int row_bytes, int height) {
    RowSpan span{0, 0};
    const auto bytes = static_cast<std::size_t>(row_bytes);
    for (int y = 0; y < height; ++y) {
        const unsigned char* in = frame + static_cast<std::ptrdiff_t>(y) * frame_pitch;
        unsigned char* out = kept + static_cast<std::ptrdiff_t>(y) * kept_pitch;
        if (std::memcmp(in, out, bytes) != 0) {
            std::memcpy(out, in, bytes);
            if (span.count == 0) {
                span.first = y;
            }
            span.count = y - span.first + 1;
        }
    }
    return span;
}
