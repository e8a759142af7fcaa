#include "fakeusb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "msleep.h"

int usb_live_main(); // the program's main, renamed for the test build

struct libusb_context {
    int unused;
};
struct libusb_device {
    size_t index;
};
struct libusb_device_handle {
    size_t index;
};

namespace fake {

world cam;
std::vector<std::string> log;
uint64_t now_ms;
void (*on_pause)(unsigned int ms);
std::vector<std::string> problems;

namespace {

libusb_context ctx;
bool ctx_live;
std::vector<libusb_device> devs;
std::vector<libusb_device *> list;
bool list_live;
libusb_device_handle handle;
bool handle_live;

int capture_fd = -1; // our end of the socket stdout writes into
int saved_stdout = -1;
std::string written;

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

// Each write(2) on stdout is one message on the socket: log each as it was written.
void drain()
{
    if (capture_fd < 0)
        return;
    static char buf[1 << 16];
    for (;;) {
        ssize_t n = recv(capture_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return;
        written.append(buf, size_t(n));
        log.push_back("write " + std::string(buf, size_t(n)));
    }
}

void note(const std::string &s)
{
    drain();
    if (!cam.quiet)
        log.push_back(s);
}

bool ours(libusb_device_handle *h, const char *what)
{
    if (h == &handle && handle_live && ctx_live)
        return true;
    problems.push_back(std::string(what) + " on a handle that is not open");
    return false;
}

} // namespace

void reset()
{
    cam = world{};
    on_pause = nullptr;
    log.clear();
    problems.clear();
    now_ms = 0;
    written.clear();
    ctx_live = list_live = handle_live = false;
}

void capture_begin()
{
    int sv[2];
    fflush(stdout);
    written.clear();
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) {
        problems.push_back(std::string("socketpair: ") + strerror(errno));
        return;
    }
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    saved_stdout = dup(STDOUT_FILENO);
    dup2(sv[1], STDOUT_FILENO);
    close(sv[1]);
    capture_fd = sv[0];
}

void capture_end()
{
    if (capture_fd < 0)
        return;
    fflush(stdout); // what the process would flush at exit
    drain();
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(capture_fd);
    capture_fd = saved_stdout = -1;
}

int run()
{
    if (!cam.quiet)
        capture_begin();
    int status = usb_live_main();
    capture_end();
    if (ctx_live)
        problems.push_back("libusb_exit was not called");
    if (list_live)
        problems.push_back("device list not freed");
    if (handle_live)
        problems.push_back("handle not closed");
    return status;
}

libusb_device_handle *open_handle()
{
    ctx_live = handle_live = true;
    return &handle;
}

void close_handle()
{
    ctx_live = handle_live = false;
}

std::string out()
{
    return written;
}

xfer header(uint32_t num, uint8_t type, int len)
{
    xfer x;
    x.data.assign(size_t(len), 0);
    const uint8_t magic[4] = {0x1B, 0xB1, 0xB1, 0x1B};
    for (int i = 0; i < 4 && i < len; i++)
        x.data[size_t(i)] = magic[i];
    for (int i = 0; i < 4 && 4 + i < len; i++)
        x.data[size_t(4 + i)] = uint8_t(num >> (8 * i));
    if (len > 12)
        x.data[12] = type;
    return x;
}

xfer frame(const std::vector<uint16_t> &pixels, int len)
{
    xfer x;
    x.data.assign(size_t(len), 0);
    for (size_t i = 0; i < pixels.size() && 28 + 2 * i + 1 < size_t(len); i++) {
        x.data[28 + 2 * i] = uint8_t(pixels[i]);
        x.data[28 + 2 * i + 1] = uint8_t(pixels[i] >> 8);
    }
    return x;
}

std::vector<uint16_t> uniform(uint16_t v)
{
    return std::vector<uint16_t>(160 * 120, v);
}

xfer timeout()
{
    return xfer{LIBUSB_ERROR_TIMEOUT, {}};
}

std::string bulk_out(const std::vector<uint8_t> &bytes, int result)
{
    return "bulk 03 len=" + std::to_string(bytes.size()) + " t=2000 [" +
           hex(bytes.data(), bytes.size()) + "] -> " + std::to_string(result);
}

std::string bulk_in(unsigned char ep, int len, int result, int n)
{
    char b[80];
    snprintf(b, sizeof b, "bulk %02x len=%d t=2000 -> %d n=%d", ep, len, result, n);
    return b;
}

} // namespace fake

using namespace fake;

extern "C" {

int libusb_init(libusb_context **c)
{
    note("init");
    if (cam.init_result != 0)
        return cam.init_result;
    ctx_live = true;
    *c = &ctx;
    return 0;
}

void libusb_exit(libusb_context *c)
{
    note("exit");
    if (c != &ctx || !ctx_live)
        problems.push_back("libusb_exit on a context that is not live");
    ctx_live = false;
}

ssize_t libusb_get_device_list(libusb_context *c, libusb_device ***out)
{
    if (c != &ctx || !ctx_live) {
        problems.push_back("device list from a context that is not live");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (cam.list_fails) {
        note("list -> " + std::to_string(LIBUSB_ERROR_NO_MEM));
        return LIBUSB_ERROR_NO_MEM;
    }
    devs.assign(cam.devices.size(), libusb_device{});
    list.clear();
    for (size_t i = 0; i < devs.size(); i++) {
        devs[i].index = i;
        list.push_back(&devs[i]);
    }
    list.push_back(nullptr);
    list_live = true;
    *out = list.data();
    note("list " + std::to_string(devs.size()));
    return ssize_t(devs.size());
}

void libusb_free_device_list(libusb_device **l, int unref)
{
    note("free list");
    if (!list_live || l != list.data())
        problems.push_back("free of a device list not handed out");
    if (unref != 1)
        problems.push_back("device list freed without unref");
    list_live = false;
}

int libusb_get_device_descriptor(libusb_device *d, libusb_device_descriptor *desc)
{
    if (!list_live) {
        problems.push_back("descriptor read outside the device list");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    int r = cam.devices[d->index].descriptor_result;
    if (r != 0) {
        memset(desc, 0x3C, sizeof *desc); // idVendor would read 0x3C3C
        desc->idVendor = 0x833C;          // ... or, worse, look like the camera
        return r;
    }
    memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->idVendor = cam.devices[d->index].vendor;
    return 0;
}

int libusb_open(libusb_device *d, libusb_device_handle **h)
{
    int r = cam.devices[d->index].open_result;
    note("open #" + std::to_string(d->index) + " -> " + std::to_string(r));
    if (r != 0)
        return r;
    if (handle_live)
        problems.push_back("a second device opened");
    handle.index = d->index;
    handle_live = true;
    *h = &handle;
    return 0;
}

void libusb_close(libusb_device_handle *h)
{
    note("close");
    if (ours(h, "libusb_close"))
        handle_live = false;
}

int libusb_set_configuration(libusb_device_handle *h, int config)
{
    note("config " + std::to_string(config));
    return ours(h, "libusb_set_configuration") ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_claim_interface(libusb_device_handle *h, int iface)
{
    note("claim " + std::to_string(iface));
    return ours(h, "libusb_claim_interface") ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_clear_halt(libusb_device_handle *h, unsigned char ep)
{
    char b[32];
    snprintf(b, sizeof b, "clear halt %02x", ep);
    note(b);
    return ours(h, "libusb_clear_halt") ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_bulk_transfer(libusb_device_handle *h, unsigned char ep, unsigned char *data, int len,
                         int *n, unsigned int timeout)
{
    drain();
    if (!ours(h, "libusb_bulk_transfer"))
        return LIBUSB_ERROR_NO_DEVICE;
    if (timeout != 2000)
        problems.push_back("transfer timeout " + std::to_string(timeout));
    if (len < 0)
        problems.push_back("negative transfer length");
    *n = 0;

    if (ep == 0x03) {
        xfer x;
        if (!cam.sends.empty()) {
            x = std::move(cam.sends.front());
            cam.sends.pop_front();
        }
        if (x.result == 0)
            *n = len;
        if (x.result == LIBUSB_ERROR_TIMEOUT)
            now_ms += timeout;
        if (!cam.quiet)
            log.push_back(bulk_out(std::vector<uint8_t>(data, data + len), x.result));
        return x.result;
    }

    std::deque<xfer> *q = ep == 0x82 ? &cam.replies : ep == 0x81 ? &cam.pictures : nullptr;
    if (!q) {
        char b[48];
        snprintf(b, sizeof b, "transfer on endpoint %02x", ep);
        problems.push_back(b);
        return LIBUSB_ERROR_IO;
    }
    xfer x;
    if (!q->empty()) {
        x = std::move(q->front());
        q->pop_front();
    } else if (ep == 0x82) {
        x.data.assign(4, 0);
    } else {
        x = fake::timeout();
    }
    // As libusb does: never more than the buffer holds; a longer packet is an overflow.
    size_t take = x.data.size() < size_t(len) ? x.data.size() : size_t(len);
    if (take)
        memcpy(data, x.data.data(), take);
    *n = int(take);
    int r = x.result;
    if (r == 0 && x.data.size() > size_t(len))
        r = LIBUSB_ERROR_OVERFLOW;
    if (r == LIBUSB_ERROR_TIMEOUT)
        now_ms += timeout;
    if (!cam.quiet)
        log.push_back(bulk_in(ep, len, r, *n));
    return r;
}

} // extern "C"

void msleep(unsigned int ms)
{
    if (!cam.quiet)
        note("pause " + std::to_string(ms));
    now_ms += ms;
    if (on_pause)
        on_pause(ms);
}
