/*
 * The test camera's time code: the wall clock (CLOCK_REALTIME) in ms mod 2^24 at capture,
 * drawn as a row of 24 black and white cells across a band at the bottom of the picture,
 * most significant bit first, white for 1. The cells are fractions of the picture, not pixels,
 * so a scaled copy (any rendition, a browser's video element) reads the same way; they are
 * large enough (a 24th of the width, a 12th of the height) to survive lossy coding.
 *
 * A viewer compares what it reads with its own CLOCK_REALTIME (Date.now() in a browser) mod
 * 2^24 to see the delay from camera to screen. The code wraps every 4.6 hours.
 */
#ifndef MORLANEX_TIME_CODE_H
#define MORLANEX_TIME_CODE_H

#include <stdint.h>

#define MORLANEX_TIME_CODE_BITS 24
#define MORLANEX_TIME_CODE_MASK ((1u << MORLANEX_TIME_CODE_BITS) - 1u)
#define MORLANEX_TIME_CODE_BAND_DIVISOR 12 /* band height: picture height / this */

/* Cell `bit` spans columns [first, end) of a picture `width` wide. */
static inline void morlanex_time_code_cell(int width, int bit, int *first, int *end) {
    *first = (int)((int64_t)width * bit / MORLANEX_TIME_CODE_BITS);
    *end = (int)((int64_t)width * (bit + 1) / MORLANEX_TIME_CODE_BITS);
}

/* The band's first row in a picture `height` high. */
static inline int morlanex_time_code_top(int height) { return height - height / MORLANEX_TIME_CODE_BAND_DIVISOR; }

/* Reads the code from a luma plane (one byte a pixel, rows `stride` apart): the mean of the
 * middle half of each cell on the band's middle rows, against mid grey. */
static inline uint32_t morlanex_time_code_read(const uint8_t *luma, int width, int height, int stride) {
    const int top = morlanex_time_code_top(height);
    const int band = height - top;
    uint32_t code = 0;
    for (int bit = 0; bit < MORLANEX_TIME_CODE_BITS; ++bit) {
        int first, end;
        morlanex_time_code_cell(width, bit, &first, &end);
        const int x0 = first + (end - first) / 4, x1 = end - (end - first) / 4;
        const int y0 = top + band / 4, y1 = height - band / 4;
        unsigned sum = 0, count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x, ++count) sum += luma[(int64_t)y * stride + x];
        code = (code << 1) | (count && sum / count >= 128 ? 1u : 0u);
    }
    return code;
}

/* How far `now` (ms mod 2^24) is past `code`, in ms, across a wrap. */
static inline uint32_t morlanex_time_code_age(uint32_t code, uint32_t now) {
    return (now - code) & MORLANEX_TIME_CODE_MASK;
}

#endif
