// Everything the camera sends on its picture endpoint, from the fuzz input: for each transfer
// a result code, a byte count and the bytes. Any of it must leave usb_live standing.
//
// Input: records of [result selector: 1 byte][count: 2 bytes, little-endian][count bytes].
// A record whose count runs past the input takes what is left. Transfers past the last record
// time out, as a silent camera does.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "fakeusb.h"
#include "preview/acquire.h"
#include "preview/render.h"

int usb_live_main()
{
    return 0; // the fake can run main; the fuzzer only drives the preview
}

namespace {

const int results[] = {0,
                       0,
                       0,
                       0,
                       LIBUSB_ERROR_TIMEOUT,
                       LIBUSB_ERROR_IO,
                       LIBUSB_ERROR_PIPE,
                       LIBUSB_ERROR_OVERFLOW,
                       LIBUSB_ERROR_NO_DEVICE};

// The screens go nowhere, through a buffer like usb_live's.
void quiet_stdout()
{
    static char buf[screen_buffer];
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    setvbuf(stdout, buf, _IOFBF, sizeof buf);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (quiet_stdout(), true);
    (void)once;

    fake::reset();
    fake::cam.quiet = true;
    size_t at = 0;
    while (at + 3 <= size) {
        fake::xfer x;
        x.result = results[data[at] % (sizeof results / sizeof results[0])];
        size_t n = data[at + 1] | size_t(data[at + 2]) << 8;
        at += 3;
        if (n > size - at)
            n = size - at;
        x.data.assign(data + at, data + at + n);
        at += n;
        fake::cam.pictures.push_back(std::move(x));
    }
    libusb_device_handle *h = fake::open_handle();
    preview(h);
    fake::close_handle();
    return 0;
}
