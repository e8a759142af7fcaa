// usb_live: the live picture of a heat-sensing USB camera, drawn as text in the terminal.
//
// One run: find the camera, configure it, send the start sequence, show 200 polls' worth of
// pictures, send the closing command, let go. Without a camera: "no device", exit status 1.

#include <cstdio>
#include <libusb.h>

#include "camera/camera.h"
#include "camera/sendcmd.h"
#include "msleep.h"
#include "preview/acquire.h"
#include "preview/render.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The camera needs these pauses during start-up, and one before the closing command.
constexpr unsigned int settle_mode_ms = 300;
constexpr unsigned int settle_start_ms = 500;
constexpr unsigned int settle_close_ms = 100;

// Lets the Windows console act on the clear sequence; where it cannot, the run goes on.
void termsetup()
{
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode))
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
}

void say(const char *s)
{
    fputs(s, stdout);
    fflush(stdout);
}

// The first device with the camera's vendor ID that opens, or null.
libusb_device_handle *opencam(libusb_context *ctx)
{
    libusb_device **list = nullptr;
    libusb_device_handle *h = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);

    for (ssize_t i = 0; i < n && !h; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != cam_vendor)
            continue;
        if (libusb_open(list[i], &h) != 0)
            h = nullptr; // not ours to use (held elsewhere, no access): try the next one
    }
    // The open handle keeps its own reference to its device.
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return h;
}

void configure(libusb_device_handle *h)
{
    libusb_set_configuration(h, cam_config_first);
    libusb_set_configuration(h, cam_config_then);
    libusb_claim_interface(h, cam_interface);
}

// The camera starts sending pictures after these seven commands. The mode command with
// argument 0 goes out twice in a row.
void start(libusb_device_handle *h)
{
    sendcmd(h, cmd_6b, 0, cmd_len_word);
    sendcmd(h, cmd_6c, 0, cmd_len_word);
    sendcmd(h, cmd_6f, 0, cmd_len_word);
    sendcmd(h, cmd_mode, 0, cmd_len_arg);
    sendcmd(h, cmd_mode, 0, cmd_len_arg);
    msleep(settle_mode_ms);
    sendcmd(h, cmd_73, 0, cmd_len_word);
    msleep(settle_start_ms);
    sendcmd(h, cmd_mode, 1, cmd_len_arg);
    msleep(settle_mode_ms);
}

// Only the command endpoints are cleared; the picture endpoint is left as it is.
void finish(libusb_device_handle *h)
{
    libusb_clear_halt(h, ep_cmd);
    libusb_clear_halt(h, ep_reply);
    msleep(settle_close_ms);
    sendcmd(h, cmd_stop, 0, cmd_len_word);
}

} // namespace

int main()
{
    // Lives as long as stdout; see screen_buffer.
    static char outbuf[screen_buffer];
    libusb_context *ctx = nullptr;
    libusb_device_handle *h;

    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    termsetup();

    // Where libusb cannot start (no netlink in some containers) there is no camera to find.
    if (libusb_init(&ctx) != 0) {
        say("no device\n");
        return 1;
    }
    h = opencam(ctx);
    if (!h) {
        libusb_exit(ctx);
        say("no device\n");
        return 1;
    }

    configure(h);
    start(h);
    say("live preview (type=0, official mode). Ctrl+C to stop.\n");
    preview(h);
    finish(h);

    libusb_close(h);
    libusb_exit(ctx);
    return 0;
}
