// Helpers shared by the image module's source files; not part of the public interface.
#pragma once

#include <cstdint>

#include "image/image.h"

// The layout rules every image must satisfy (format table, sizes, stride).
bool image_valid(const Image *image);

// True (after printing the diagnostic) when a grey-only operation must refuse `image`.
bool image_refuse_non_gray(const Image *image);

// A pixel widened to 8-bit R, G, B, A (A = 255 for opaque formats; grey sets R = G = B).
struct Rgba {
    int r, g, b, a;
};

// Formats whose pixels decode to / encode from Rgba: 0-3, 9 and the packed 12-19.
bool pixel_format_is_rgb_like(int format);
bool pixel_format_has_alpha(int format);

// Packed channels widen with a fixed low-bit pattern (011 / 01 / 0111) so that mid-grey stays
// mid-grey instead of drifting darker.
inline int widen5(int v) {
    return (v << 3) | 0x3;
}
inline int widen6(int v) {
    return (v << 2) | 0x1;
}
inline int widen4(int v) {
    return (v << 4) | 0x7;
}

inline Rgba pixel_decode(int format, const uint8_t *p) {
    switch (format) {
        case PIXEL_RGB24:
            return {p[0], p[1], p[2], 255};
        case PIXEL_BGR24:
            return {p[2], p[1], p[0], 255};
        case PIXEL_RGBA32:
            return {p[0], p[1], p[2], p[3]};
        case PIXEL_BGRA32:
            return {p[2], p[1], p[0], p[3]};
        case PIXEL_GRAY8:
            return {p[0], p[0], p[0], 255};
        case PIXEL_RGB565:
        case PIXEL_BGR565: {
            int word = p[0] | (p[1] << 8);
            int low = widen5(word & 0x1f);
            int mid = widen6((word >> 5) & 0x3f);
            int high = widen5((word >> 11) & 0x1f);
            return format == PIXEL_RGB565 ? Rgba{low, mid, high, 255} : Rgba{high, mid, low, 255};
        }
        case PIXEL_XRGB32:
            return {p[1], p[2], p[3], 255};
        case PIXEL_XBGR32:
            return {p[3], p[2], p[1], 255};
        case PIXEL_RGBX32:
            return {p[0], p[1], p[2], 255};
        case PIXEL_BGRX32:
            return {p[2], p[1], p[0], 255};
        case PIXEL_RGB444:
        case PIXEL_BGR444: {
            int first = widen4(p[0] & 0xf);
            int mid = widen4(p[0] >> 4);
            int last = widen4(p[1] & 0xf);
            return format == PIXEL_RGB444 ? Rgba{first, mid, last, 255}
                                          : Rgba{last, mid, first, 255};
        }
        default:
            return {0, 0, 0, 255};
    }
}

// Channels 0..255 each. Grey destinations take (R + G + B) / 3; ignored bytes are written 0.
inline void pixel_encode(int format, const Rgba &c, uint8_t *p) {
    switch (format) {
        case PIXEL_RGB24:
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
            return;
        case PIXEL_BGR24:
            p[0] = c.b, p[1] = c.g, p[2] = c.r;
            return;
        case PIXEL_RGBA32:
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
            return;
        case PIXEL_BGRA32:
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = c.a;
            return;
        case PIXEL_GRAY8:
            p[0] = static_cast<uint8_t>((c.r + c.g + c.b) / 3);
            return;
        case PIXEL_RGB565:
        case PIXEL_BGR565: {
            int low = format == PIXEL_RGB565 ? c.r : c.b;
            int high = format == PIXEL_RGB565 ? c.b : c.r;
            int word = (low >> 3) | ((c.g >> 2) << 5) | ((high >> 3) << 11);
            p[0] = static_cast<uint8_t>(word);
            p[1] = static_cast<uint8_t>(word >> 8);
            return;
        }
        case PIXEL_XRGB32:
            p[0] = 0, p[1] = c.r, p[2] = c.g, p[3] = c.b;
            return;
        case PIXEL_XBGR32:
            p[0] = 0, p[1] = c.b, p[2] = c.g, p[3] = c.r;
            return;
        case PIXEL_RGBX32:
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 0;
            return;
        case PIXEL_BGRX32:
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0;
            return;
        case PIXEL_RGB444:
        case PIXEL_BGR444: {
            int first = format == PIXEL_RGB444 ? c.r : c.b;
            int last = format == PIXEL_RGB444 ? c.b : c.r;
            p[0] = static_cast<uint8_t>((first >> 4) | (c.g & 0xf0));
            p[1] = static_cast<uint8_t>(last >> 4);
            return;
        }
        default:
            return;
    }
}
