// Enlarges a picture by a whole scale, each pixel becoming a square of identical pixels (nearest
// neighbour: pixel art stays sharp). On raw rows of pixels, so a table checks it without SDL.
#pragma once

// Writes the width x height picture at source (rows source_pitch bytes apart, pixels of
// bytes_per_pixel bytes: 1 to 4, as SDL's) into destination at scale (1 or more) times its size
// (rows destination_pitch bytes apart): destination pixel (x, y) is source pixel (x / scale,
// y / scale). Allocates nothing.
void enlarge_pixels(const unsigned char* source, int source_pitch, int width, int height,
                    int bytes_per_pixel, unsigned char* destination, int destination_pitch,
                    int scale);
