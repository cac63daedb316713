// Enlarging a frame by whole pixels: every destination pixel is the source pixel it covers, at
// every pixel size and scale, and nothing outside the enlarged picture is written.
#include "media/enlarge.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Enlarge, EveryPixelTable) {
    // Widths that are no multiple of a vector's pixels; pitches with padding after each row.
    const struct { int width, height; } sizes[] = {{1, 1}, {7, 3}, {37, 5}};
    for (int bytes = 1; bytes <= 4; ++bytes) {
        for (int scale = 1; scale <= 8; ++scale) {
            for (const auto& size : sizes) {
                SCOPED_TRACE(testing::Message() << bytes << " bytes a pixel, scale " << scale
                                                << ", " << size.width << "x" << size.height);
                const int source_pitch = size.width * bytes + 3;
                std::vector<unsigned char> source(static_cast<size_t>(source_pitch * size.height));
                for (size_t i = 0; i < source.size(); ++i) {
                    source[i] = static_cast<unsigned char>(i * 131 + 7);
                }
                // The picture goes 2 pixels in and 1 row down, in a larger buffer filled with a
                // marker, as into a window with a border around it.
                const int pitch = (size.width * scale + 5) * bytes + 1;
                const int rows = size.height * scale + 2;
                std::vector<unsigned char> out(static_cast<size_t>(pitch * rows), 0xA5);
                enlarge_pixels(source.data(), source_pitch, size.width, size.height, bytes,
                               out.data() + pitch + 2 * bytes, pitch, scale);

                int wrong = 0;
                for (int y = 0; y < rows; ++y) {
                    for (int x = 0; x < pitch; ++x) {
                        const int px = x / bytes - 2;
                        const int py = y - 1;
                        const bool inside = px >= 0 && px < size.width * scale && py >= 0 &&
                                            py < size.height * scale;
                        const unsigned char want =
                            inside ? source[static_cast<size_t>((py / scale) * source_pitch +
                                                                (px / scale) * bytes + x % bytes)]
                                   : 0xA5;
                        wrong += out[static_cast<size_t>(y * pitch + x)] != want;
                    }
                }
                EXPECT_EQ(0, wrong);
            }
        }
    }
}
