#include "camera/sendcmd.h"

#include "camera/camera.h"

namespace {
constexpr int block_size = 8;
constexpr int reply_size = 4096;
} // namespace

int sendcmd(libusb_device_handle *h, uint32_t cmd, uint32_t arg, int len)
{
    unsigned char block[block_size] = {};
    unsigned char reply[reply_size];
    int n = 0;
    int r;

    // The block is a fixed 8 bytes; never send past it.
    if (len < 0 || len > block_size)
        return LIBUSB_ERROR_INVALID_PARAM;

    put32(block, cmd);
    if (len > 7)
        put32(block + 4, arg);

    r = libusb_bulk_transfer(h, ep_cmd, block, len, &n, cam_timeout_ms);
    if (r != 0)
        return r;

    // The reply only paces the conversation; its bytes and length mean nothing to us.
    return libusb_bulk_transfer(h, ep_reply, reply, reply_size, &n, cam_timeout_ms);
}
