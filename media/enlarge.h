// Enlarges a picture by a whole scale, each pixel becoming a square of identical pixels (nearest
// neighbour: pixel art stays sharp), and finds the rows of a frame that differ from the one
// shown last, so that only those are enlarged. On raw rows of pixels, so a table checks it
// without SDL.
#pragma once

// Writes the width x height picture at source (rows source_pitch bytes apart, pixels of
// bytes_per_pixel bytes: 1 to 4, as SDL's) into destination at scale (1 or more) times its size
// (rows destination_pitch bytes apart): destination pixel (x, y) is source pixel (x / scale,
// y / scale). Allocates nothing.
void enlarge_pixels(const unsigned char* source, int source_pitch, int width, int height,
                    int bytes_per_pixel, unsigned char* destination, int destination_pitch,
                    int scale);

// Rows first .. first + count - 1 of a picture; count 0: none.
struct RowSpan {
    int first;
    int count;
};

// Compares the height rows of frame with those of kept (the first row_bytes bytes of each, rows
// frame_pitch and kept_pitch bytes apart), copies every row that differs into kept, and returns
// the span from the first such row to the last. Allocates nothing.
RowSpan keep_changed_rows(const unsigned char* frame, int frame_pitch, unsigned char* kept,
                          int kept_pitch, int row_bytes, int height);
