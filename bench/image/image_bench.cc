// Per-frame image operations on a full-HD frame. The in-place operations shrink the view, so
// each iteration restores width and height (as the detector's pyramid does) and reuses the
// pixels; their values do not change the work done.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "image/image.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void fill_random(Image *image) {
    std::mt19937 rng(42);
    const int bytes = image->stride * image->height;
    for (int i = 0; i < bytes; ++i) image->data[i] = static_cast<uint8_t>(rng());
}

void make_frame(ScopedImage &img, int format, int channels) {
    if (image_create(img.get(), format, channels, kWidth, kHeight, 0, 0) != IMAGE_OK) abort();
    fill_random(img.get());
}

template <int (*Op)(Image *)>
void in_place(benchmark::State &state) {
    ScopedImage img;
    make_frame(img, PIXEL_GRAY8, 1);
    for (auto _ : state) {
        img->width = kWidth;
        img->height = kHeight;
        benchmark::DoNotOptimize(Op(img.get()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}

void BM_halve_simd(benchmark::State &state) {
    in_place<image_halve>(state);
}
void BM_halve_scalar(benchmark::State &state) {
    in_place<image_halve_scalar>(state);
}
void BM_shrink_125(benchmark::State &state) {
    in_place<image_shrink_125>(state);
}

// Arguments: destination width and height.
void BM_resize_bilinear(benchmark::State &state) {
    ScopedImage src;
    make_frame(src, PIXEL_GRAY8, 1);
    ScopedImage dst;
    if (image_create(dst.get(), PIXEL_GRAY8, 1, static_cast<int>(state.range(0)),
                     static_cast<int>(state.range(1)), 0, 0) != IMAGE_OK)
        abort();
    for (auto _ : state) {
        benchmark::DoNotOptimize(image_resample(src.get(), dst.get(), IMAGE_FILTER_BILINEAR));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

// Argument: source format (grey copy or RGB average).
void BM_to_gray(benchmark::State &state) {
    const int format = static_cast<int>(state.range(0));
    ScopedImage src;
    make_frame(src, format, format == PIXEL_GRAY8 ? 1 : 3);
    ScopedImage dst;
    make_frame(dst, PIXEL_GRAY8, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(image_to_gray(dst.get(), src.get()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}

}  // namespace

BENCHMARK(BM_halve_simd);
BENCHMARK(BM_halve_scalar);
BENCHMARK(BM_shrink_125);
BENCHMARK(BM_resize_bilinear)->Args({1536, 864})->Args({640, 360});
BENCHMARK(BM_to_gray)->Arg(PIXEL_GRAY8)->Arg(PIXEL_RGB24);

BENCHMARK_MAIN();
