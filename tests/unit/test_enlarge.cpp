// Enlarging a frame by whole pixels: every destination pixel is the source pixel it covers, at
// every pixel size and scale, and nothing around the enlarged picture is written.
#include "media/enlarge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

TEST(Enlarge, EveryPixelTable) {
    const int w = 37, h = 3; // no multiple of a vector's pixels
    for (int bytes = 1; bytes <= 4; ++bytes) {
        for (int scale = 1; scale <= 8; ++scale) {
            const int from_pitch = w * bytes + 3; // rows padded, as SDL may
            std::vector<unsigned char> from(static_cast<size_t>(from_pitch * h));
            for (size_t i = 0; i < from.size(); ++i) {
                from[i] = static_cast<unsigned char>(i * 131 + 7);
            }
            // Into a larger picture filled with a marker, 2 pixels in and 1 row down.
            const int pitch = (w * scale + 5) * bytes + 1, rows = h * scale + 2;
            std::vector<unsigned char> out(static_cast<size_t>(pitch * rows), 0xA5);
            enlarge_pixels(from.data(), from_pitch, w, h, bytes, &out[pitch + 2 * bytes], pitch,
                           scale);
            int wrong = 0;
            for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < pitch; ++x) {
                    const int px = x / bytes - 2, py = y - 1;
                    const bool in = px >= 0 && px < w * scale && py >= 0 && py < h * scale;
                    wrong += out[static_cast<size_t>(y * pitch + x)] !=
                             (in ? from[static_cast<size_t>(py / scale * from_pitch +
                                                            px / scale * bytes + x % bytes)]
                                 : 0xA5);
                }
            }
            EXPECT_EQ(0, wrong) << bytes << " bytes a pixel, scale " << scale;
        }
    }
}

// Row: the bytes changed in the frame (row, byte in the row; a byte past row_bytes is padding),
// the span expected. Afterwards kept must hold the frame's rows and nothing of its padding.
TEST(KeepChangedRows, SpanTable) {
    const int h = 6, row_bytes = 10, pitch = 13, kept_pitch = 11;
    struct Row {
        std::vector<std::pair<int, int>> changes;
        RowSpan want;
    };
    const Row rows[] = {{{}, {0, 0}},
                        {{{2, 0}}, {2, 1}},
                        {{{3, 9}}, {3, 1}},
                        {{{0, 4}, {5, 9}}, {0, 6}},
                        {{{1, 5}, {4, 0}, {4, 3}}, {1, 4}},
                        {{{2, 10}, {4, 12}}, {0, 0}}};
    for (const Row& row : rows) {
        std::vector<unsigned char> frame(static_cast<size_t>(pitch * h), 7);
        std::vector<unsigned char> kept(static_cast<size_t>(kept_pitch * h), 7);
        for (const auto& [y, x] : row.changes) {
            frame[static_cast<size_t>(y * pitch + x)] = 9;
        }
        const RowSpan got =
            keep_changed_rows(frame.data(), pitch, kept.data(), kept_pitch, row_bytes, h);
        EXPECT_EQ(row.want.first, got.first) << row.changes.size() << " changes";
        EXPECT_EQ(row.want.count, got.count) << row.changes.size() << " changes";
        for (int y = 0; y < h; ++y) {
            EXPECT_EQ(0, std::memcmp(&frame[static_cast<size_t>(y * pitch)],
                                     &kept[static_cast<size_t>(y * kept_pitch)], row_bytes))
                << "row " << y;
            EXPECT_EQ(7, kept[static_cast<size_t>(y * kept_pitch + row_bytes)]) << "row " << y;
        }
    }
}
