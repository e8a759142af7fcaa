// Draws one picture as a text screen: a status line and 30 rows of 80 ramp characters.
#pragma once

#include <cstdint>

// From cold to hot. The level never reaches 9, so '@' is never drawn.
extern const char ramp[];

constexpr int text_cols = 80; // each character covers 2 x 4 pixels
constexpr int text_rows = 30;

// stdout's buffer holds a whole screen (clear sequence, status line, 30 rows of 81 bytes:
// about 2.5 KB), so the one flush per picture is one write(2), on a terminal too.
constexpr int screen_buffer = 4096;

constexpr unsigned int frame_pause_ms = 50;

// Draws the pixel block of a frame transfer, flushes stdout and pauses frame_pause_ms.
// A picture whose pixels are all equal draws nothing and does not pause.
void render(const unsigned char *frame, uint32_t num, unsigned int type);
