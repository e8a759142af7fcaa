// The command channel: one command block out on the command endpoint, one reply back.
#pragma once

#include <cstdint>
#include <libusb.h>

// Sends the first len bytes (4 or 8) of the block that holds cmd and, for len 8, arg; then
// reads and discards the camera's reply. Returns 0, or the libusb code of the first transfer
// that failed (no reply is read after a failed send). A len outside 0..8 sends nothing and
// returns LIBUSB_ERROR_INVALID_PARAM.
int sendcmd(libusb_device_handle *h, uint32_t cmd, uint32_t arg, int len);
