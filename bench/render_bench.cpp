// Nanoseconds per drawn picture: the range pass, the 2400 cells and the write to /dev/null.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

#include "msleep.h"
#include "preview/acquire.h"
#include "preview/render.h"

void msleep(unsigned int) {} // the 50 ms pause is not the renderer's work

namespace {

// A warm scene like the camera's: a gradient, a hot spot that moves, sensor noise.
std::vector<std::vector<unsigned char>> scenes(int count)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 12);
    std::vector<std::vector<unsigned char>> out;
    for (int k = 0; k < count; k++) {
        std::vector<unsigned char> f(frame_size, 0);
        double cx = 30 + 100.0 * k / count, cy = 60 + 30 * std::sin(k);
        for (int y = 0; y < pic_height; y++)
            for (int x = 0; x < pic_width; x++) {
                double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                double v = 7400 + 2 * y + 1800 * std::exp(-d2 / 120) + noise(rng);
                auto p = uint16_t(v);
                size_t at = size_t(pixel_at + 2 * (pic_width * y + x));
                f[at] = uint8_t(p);
                f[at + 1] = uint8_t(p >> 8);
            }
        out.push_back(std::move(f));
    }
    return out;
}

void BM_render(benchmark::State &state)
{
    static char buf[screen_buffer];
    auto pics = scenes(int(state.range(0)));
    uint32_t n = 0;

    // The screens go to /dev/null through stdout, buffered as usb_live buffers it; the
    // benchmark's own report still reaches the real stdout afterwards.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    setvbuf(stdout, buf, _IOFBF, sizeof buf);
    for (auto _ : state) {
        render(pics[n % pics.size()].data(), n, 0);
        n++;
    }
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
    state.SetItemsProcessed(state.iterations());
}
// The argument is how many different pictures take turns. usb_live draws from its one frame
// buffer, just written by the transfer, so a few pictures (cache-warm) is its case; 64 pictures
// (2.5 MB) shows the cost of pixels coming from memory.
BENCHMARK(BM_render)->Arg(1)->Arg(4)->Arg(64);

} // namespace

BENCHMARK_MAIN();
