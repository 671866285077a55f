// Operations not yet implemented: each refuses with "invalid argument" until it is written.
#include "image/image.h"

int image_to_gray(Image *, const Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_crop(Image *, const Image *, int, int, int, int) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_halve(Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_halve_scalar(Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_mirror_horizontal(Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_mirror_vertical(Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_shrink_125(Image *) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_resize(const Image *, Image *, int, int, int) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int image_resample(const Image *, Image *, int) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
int jpeg_write_file(const Image *, const char *, int) {
    return IMAGE_ERR_INVALID;
}  // not yet implemented
