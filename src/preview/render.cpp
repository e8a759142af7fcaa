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
static_assert(cell_w == 2 && cell_h == 4, "a character covers 2 x 4 pixels");

uint32_t pixel(const unsigned char *px, int x, int y)
{
    return get16(px + 2 * (pic_width * y + x));
}

} // namespace

void render(const unsigned char *frame, uint32_t num, unsigned int type)
{
    const unsigned char *px = frame + pixel_at;
    uint32_t lo = 65535;
    uint32_t hi = 0;
    char row[text_cols + 1];

    for (int i = 0; i < pic_width * pic_height; i++) {
        uint32_t v = get16(px + 2 * i);
        if (v < lo)
            lo = v;
        if (v > hi)
            hi = v;
    }
    // A uniform picture has no range to show.
    if (lo >= hi)
        return;

    fputs(clear_screen, stdout);
    printf("frame %u type=%u range=[%u..%u]  (bright=hot)\n", unsigned(num), type, unsigned(lo),
           unsigned(hi));

    for (int r = 0; r < text_rows; r++) {
        for (int c = 0; c < text_cols; c++) {
            uint64_t sum = 0;
            for (int y = cell_h * r; y < cell_h * (r + 1); y++)
                for (int x = cell_w * c; x < cell_w * (c + 1); x++)
                    sum += pixel(px, x, y);
            uint32_t avg = uint32_t(sum / (cell_w * cell_h));
            row[c] = ramp[(avg - lo) * levels / (hi - lo + 1)];
        }
        row[text_cols] = '\0';
        printf("%s\n", row);
    }

    fflush(stdout);
    msleep(frame_pause_ms);
}
