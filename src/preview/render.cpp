#include "preview/render.h"

#include <cstdio>

#include "camera/camera.h"
#include "msleep.h"
#include "preview/acquire.h"

const char ramp[] = " .:-=+*#%@";

namespace {

constexpr char clear_screen[] = "\x1b[2J\x1b[H";
constexpr int cell_w = pic_width / text_cols;
constexpr int cell_h = pic_height / text_rows;
constexpr int levels = 9; // steps 0..8 of the ramp are used
constexpr int inv_shift = 40;
static_assert(cell_w == 2 && cell_h == 4, "a character covers 2 x 4 pixels");

// One pass over the pixels gives the sum of every 2 x 4 block and the picture's range. The
// minimum and maximum are kept per text column, so that no single chain of comparisons runs
// through all 19200 pixels.
void cells(const unsigned char *px, uint32_t sum[text_rows][text_cols], uint32_t *lo, uint32_t *hi)
{
    uint16_t min[text_cols];
    uint16_t max[text_cols];

    for (int c = 0; c < text_cols; c++) {
        min[c] = 65535;
        max[c] = 0;
    }
    for (int r = 0; r < text_rows; r++)
        for (int c = 0; c < text_cols; c++)
            sum[r][c] = 0;

    for (size_t y = 0; y < pic_height; y++) {
        const unsigned char *line = px + y * pic_width * 2; // 2 bytes a pixel
        uint32_t *s = sum[y / cell_h];
        for (size_t c = 0; c < text_cols; c++) {
            const unsigned char *cell = line + c * cell_w * 2;
            auto a = uint16_t(get16(cell));
            auto b = uint16_t(get16(cell + 2));
            s[c] += uint32_t(a) + b; // eight 16-bit values need 19 bits
            uint16_t small = a < b ? a : b;
            uint16_t big = a < b ? b : a;
            min[c] = small < min[c] ? small : min[c];
            max[c] = big > max[c] ? big : max[c];
        }
    }

    *lo = 65535;
    *hi = 0;
    for (int c = 0; c < text_cols; c++) {
        *lo = min[c] < *lo ? min[c] : *lo;
        *hi = max[c] > *hi ? max[c] : *hi;
    }
}

} // namespace

void render(const unsigned char *frame, uint32_t num, unsigned int type)
{
    uint32_t sum[text_rows][text_cols];
    uint32_t lo;
    uint32_t hi;
    char row[text_cols + 1];

    cells(frame + pixel_at, sum, &lo, &hi);
    // A uniform picture has no range to show.
    if (lo >= hi)
        return;

    // level = (avg - lo) * 9 / (hi - lo + 1), with the division done as a multiplication by
    // the rounded-up reciprocal: exact, as the dividend is below 2^20 and the divisor at most
    // 2^16, so their product stays below 2^40.
    uint64_t span = hi - lo + 1;
    uint64_t inv = ((uint64_t(1) << inv_shift) + span - 1) / span;

    fputs(clear_screen, stdout);
    printf("frame %u type=%u range=[%u..%u]  (bright=hot)\n", unsigned(num), type, unsigned(lo),
           unsigned(hi));
    for (int r = 0; r < text_rows; r++) {
        for (int c = 0; c < text_cols; c++) {
            uint32_t avg = sum[r][c] / (cell_w * cell_h);
            row[c] = ramp[uint64_t((avg - lo) * levels) * inv >> inv_shift];
        }
        row[text_cols] = '\0';
        printf("%s\n", row);
    }

    fflush(stdout);
    msleep(frame_pause_ms);
}
