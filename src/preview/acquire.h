// The preview loop and the two picture formats the camera sends on its picture endpoint.
#pragma once

#include <cstdint>
#include <libusb.h>

// Header packet: magic at 0, frame number at 4, frame type at 12 (little-endian).
constexpr uint32_t head_magic = 0x1BB1B11B;
constexpr int head_size = 64; // at most this much is read
constexpr int head_min = 28;  // a shorter packet is not a header
constexpr int head_number_at = 4;
constexpr int head_type_at = 12;

// Frame transfer: 160 x 120 pixels of 16 bits, row 0 first, starting at byte 28.
constexpr int frame_size = 40000; // at most this much is read
constexpr int frame_min = 38400;  // a shorter transfer is not a picture
constexpr int pixel_at = 28;
constexpr int pic_width = 160;
constexpr int pic_height = 120;

constexpr int preview_polls = 200;

// Makes exactly preview_polls polls of the picture endpoint and draws every new picture.
void preview(libusb_device_handle *h);
