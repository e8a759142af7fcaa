#include "preview/acquire.h"

#include "camera/camera.h"
#include "preview/render.h"

namespace {

// No frame seen yet. A first header that carries this number counts as already seen.
constexpr uint32_t no_frame = 0xFFFFFFFF;

// One poll: a header, and for a frame number not seen before, its frame transfer.
// Every failure just ends the poll.
void poll(libusb_device_handle *h, unsigned char *head, unsigned char *frame, uint32_t *last)
{
    int n = 0;
    int r;

    r = libusb_bulk_transfer(h, ep_frame, head, head_size, &n, cam_timeout_ms);
    if (r != 0 || n < head_min || get32(head) != head_magic)
        return;

    uint32_t num = get32(head + head_number_at);
    if (num == *last)
        return;
    // Remembered before the frame is read: a picture whose transfer fails is not asked for again.
    *last = num;

    r = libusb_bulk_transfer(h, ep_frame, frame, frame_size, &n, cam_timeout_ms);
    if (r != 0 || n < frame_min)
        return;

    render(frame, num, head[head_type_at]);
}

} // namespace

void preview(libusb_device_handle *h)
{
    unsigned char head[head_size];
    // Zero-filled once: a transfer that stops short of the pixel block's end leaves the last
    // pixels as zeros, or as a longer earlier transfer left them.
    unsigned char frame[frame_size] = {};
    uint32_t last = no_frame;

    for (int i = 0; i < preview_polls; i++)
        poll(h, head, frame, &last);
}
