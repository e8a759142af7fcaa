// camera_emulator: an emulated heat-sensing camera at the kernel's USB interface.
//
//   camera_emulator [--scenario FILE | --live | --no-camera] [--log FILE] -- PROGRAM [ARG...]
//
// Creates a umockdev testbed holding a USB device with vendor ID 0x833C, runs PROGRAM as its
// child under umockdev's preload, and answers the child's usbdevfs ioctls as the camera would:
// configurations and the interface claim are taken, every command block on 0x03 is answered on
// 0x82, and header packets and frame transfers are offered on 0x81, from a scenario file or from
// a live synthetic scene (25 pictures a second). Every request served is logged with a
// monotonic timestamp. Ends with the child's exit status.
//
// The program under test is unmodified and linked against the real libusb: real timeouts, URB
// cancellation and error mapping run.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

namespace {

using clk = std::chrono::steady_clock;

constexpr int width = 160;
constexpr int height = 120;
constexpr int pixel_at = 28;
constexpr int frame_bytes = pixel_at + 2 * width * height; // 38428
constexpr int live_interval_ms = 40;                       // 25 pictures a second

// What the camera does with one transfer.
struct step {
    enum kind { data, never, stall, ioerror, overflow, empty, unplug } what = empty;
    std::vector<uint8_t> bytes; // for data
};

// A submitted URB, kept until it is reaped.
struct urb {
    UMockdevIoctlData *self = nullptr; // the client's struct usbdevfs_urb
    UMockdevIoctlData *buf = nullptr;  // its buffer
    unsigned char ep = 0;
    bool ready = false;       // decided: status and bytes are set
    clk::time_point ready_at; // not reaped before this
    bool live_header = false; // content decided when it becomes due
    int status = 0;
    std::vector<uint8_t> bytes;
};

struct camera {
    std::mutex lock;
    FILE *log = nullptr;
    clk::time_point t0 = clk::now();
    bool unplugged = false;

    std::deque<step> sends, replies, pictures;
    step after; // what the picture endpoint does once the scenario's pictures are used up
    bool live = false;
    int unanswered = 0;      // commands whose reply has not been asked for yet
    std::deque<urb> pending; // in submission order

    // Live scene state.
    uint32_t last_number = 0xFFFFFFFF;
    uint32_t header_number = 0; // the number of the header last delivered
    std::mt19937 rng{12345};
};

camera cam;

double now_ms()
{
    return std::chrono::duration<double, std::milli>(clk::now() - cam.t0).count();
}

void logf(const char *fmt, ...)
{
    if (!cam.log)
        return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(cam.log, "%10.3f ", now_ms());
    vfprintf(cam.log, fmt, ap);
    fputc('\n', cam.log);
    fflush(cam.log);
    va_end(ap);
}

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

void put16(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    v[at] = uint8_t(x);
    v[at + 1] = uint8_t(x >> 8);
}

void put32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    put16(v, at, x & 0xFFFF);
    put16(v, at + 2, x >> 16);
}

std::vector<uint8_t> header(uint32_t num, uint8_t type, int len, uint32_t magic)
{
    std::vector<uint8_t> h(64, 0);
    put32(h, 0, magic);
    put32(h, 4, num);
    h[12] = type;
    h.resize(size_t(len));
    return h;
}

// Where pixel (x, y) starts in a frame transfer.
size_t at(int x, int y)
{
    return size_t(pixel_at) + 2 * (size_t(width) * size_t(y) + size_t(x));
}

// A warm room with a hot spot that circles, and a little sensor noise.
std::vector<uint8_t> scene(uint32_t k, std::mt19937 &rng)
{
    std::vector<uint8_t> f(frame_bytes, 0);
    double a = k * 0.06;
    double cx = 80 + 55 * std::cos(a), cy = 60 + 38 * std::sin(1.3 * a);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            double v = 7300 + 3 * y + 1500 * std::exp(-d2 / 90.0) + noise(rng);
            put16(f, at(x, y), uint32_t(v));
        }
    return f;
}

// Frame patterns for scenarios. "spot X Y": background 1000 with the 2 x 4 pixel block at
// (X, Y) at 3000. "uniform V". "gradient": 1000 + 10 x + y. "scene K": the live scene's K-th.
std::vector<uint8_t> pattern(std::istringstream &in, std::string &err)
{
    std::string p;
    in >> p;
    std::vector<uint8_t> f(frame_bytes, 0);
    auto px = [&](int x, int y, uint32_t v) { put16(f, at(x, y), v); };
    if (p == "uniform") {
        uint32_t v = 0;
        in >> v;
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                px(x, y, v);
    } else if (p == "spot") {
        int sx = -1, sy = -1;
        in >> sx >> sy;
        if (sx < 0 || sy < 0 || sx + 2 > width || sy + 4 > height)
            err = "spot out of the picture";
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                px(x, y, x >= sx && x < sx + 2 && y >= sy && y < sy + 4 ? 3000 : 1000);
    } else if (p == "gradient") {
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                px(x, y, uint32_t(1000 + 10 * x + y));
    } else if (p == "scene") {
        uint32_t k = 0;
        in >> k;
        std::mt19937 rng(k);
        f = scene(k, rng);
    } else {
        err = "unknown frame pattern '" + p + "'";
    }
    return f;
}

// Options of the form name=value after a step's words.
bool option(const std::string &word, const char *name, long *value)
{
    size_t n = strlen(name);
    if (word.compare(0, n, name) != 0 || word.size() <= n || word[n] != '=')
        return false;
    *value = strtol(word.c_str() + n + 1, nullptr, 0);
    return true;
}

bool parse_step(const std::string &what, std::istringstream &in, step &s, std::string &err)
{
    if (what == "header") {
        uint32_t num = 0;
        in >> num;
        long type = 0, len = 28, magic = 0x1BB1B11B;
        for (std::string w; in >> w;)
            if (!option(w, "type", &type) && !option(w, "len", &len) && !option(w, "magic", &magic))
                err = "unknown header option '" + w + "'";
        if (len < 0 || len > 64)
            err = "header len must be 0..64";
        s.what = step::data;
        s.bytes = header(num, uint8_t(type), int(len), uint32_t(magic));
    } else if (what == "frame") {
        s.what = step::data;
        s.bytes = pattern(in, err);
        long len = frame_bytes;
        for (std::string w; in >> w;)
            if (!option(w, "len", &len))
                err = "unknown frame option '" + w + "'";
        if (len < 0 || len > 65536)
            err = "frame len must be 0..65536";
        s.bytes.resize(size_t(len), 0);
    } else if (what == "raw") {
        s.what = step::data;
        for (std::string w; in >> w;)
            s.bytes.push_back(uint8_t(strtoul(w.c_str(), nullptr, 16)));
    } else if (what == "ok") {
        s.what = step::data;
    } else if (what == "timeout") {
        s.what = step::never;
    } else if (what == "stall") {
        s.what = step::stall;
    } else if (what == "ioerror") {
        s.what = step::ioerror;
    } else if (what == "overflow") {
        s.what = step::overflow;
    } else if (what == "empty") {
        s.what = step::empty;
    } else if (what == "unplug") {
        s.what = step::unplug;
    } else {
        err = "unknown step '" + what + "'";
    }
    return err.empty();
}

// A scenario: one step a line, in order, for the picture endpoint; lines starting "send" or
// "reply" script the next command send or reply instead; "then STEP" says what the picture
// endpoint does after the last picture step (by default: empty packets); "repeat N" repeats
// the line before it N more times. '#' starts a comment.
bool load_scenario(const char *path)
{
    std::ifstream f(path);
    if (!f) {
        fprintf(stderr, "camera_emulator: cannot read %s\n", path);
        return false;
    }
    std::string line;
    std::deque<step> *lastq = nullptr;
    for (int no = 1; std::getline(f, line); no++) {
        if (size_t hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        std::istringstream in(line);
        std::string what, err;
        if (!(in >> what))
            continue;
        step s;
        std::deque<step> *q = &cam.pictures;
        if (what == "send" || what == "reply") {
            q = what == "send" ? &cam.sends : &cam.replies;
            in >> what;
        } else if (what == "then") {
            in >> what;
            q = nullptr;
        } else if (what == "repeat") {
            long n = 0;
            in >> n;
            if (!lastq || lastq->empty() || n < 0) {
                fprintf(stderr, "camera_emulator: %s:%d: nothing to repeat\n", path, no);
                return false;
            }
            step last = lastq->back();
            for (long i = 0; i < n; i++)
                lastq->push_back(last);
            continue;
        }
        if (!parse_step(what, in, s, err)) {
            fprintf(stderr, "camera_emulator: %s:%d: %s\n", path, no, err.c_str());
            return false;
        }
        if (q)
            q->push_back(s);
        else
            cam.after = s;
        lastq = q;
    }
    return true;
}

step next(std::deque<step> &q, const step &dflt)
{
    if (q.empty())
        return dflt;
    step s = q.front();
    q.pop_front();
    return s;
}

// Decides what a URB gets: status and bytes, and when it is due. A URB left not ready never
// completes; the program's timeout cancels it.
void decide(urb &u, const step &s)
{
    u.ready = true;
    u.ready_at = clk::now();
    switch (s.what) {
    case step::data:
        u.bytes = s.bytes;
        break;
    case step::never:
        u.ready = false;
        break;
    case step::stall:
        u.status = -EPIPE;
        break;
    case step::ioerror:
        u.status = -EPROTO;
        break;
    case step::overflow:
        u.status = -EOVERFLOW;
        u.bytes.assign(size_t(u.buf->data_len), 0x5A);
        break;
    case step::empty:
        break;
    case step::unplug:
        u.ready = false;
        cam.unplugged = true;
        logf("unplugged");
        break;
    }
}

const step ok_step{step::data, {}};

void submit(urb &u)
{
    const uint8_t *data = u.buf->data;
    int len = u.buf->data_len;
    if (u.ep == 0x03) {
        logf("out 03 len=%d [%s]", len, hex(data, size_t(len)).c_str());
        step s = next(cam.sends, ok_step);
        decide(u, s);
        if (s.what == step::data) {
            u.bytes.assign(data, data + len); // all of it is taken
            cam.unanswered++;
        }
    } else if (u.ep == 0x82) {
        // The reply to a command: ready once a command has come in.
        step s = next(cam.replies, ok_step);
        if (cam.unanswered == 0 && s.what == step::data) {
            u.ready = false; // nothing to answer: never comes
            return;
        }
        cam.unanswered = std::max(0, cam.unanswered - 1);
        decide(u, s);
        if (s.what == step::data && s.bytes.empty())
            u.bytes = {0x00, 0x00, 0x00, 0x00};
    } else if (u.ep == 0x81) {
        if (cam.live) {
            u.live_header = u.buf->data_len <= 64;
            u.ready = true;
            if (u.live_header) {
                // Due when a picture not yet offered exists.
                uint32_t due = cam.last_number == 0xFFFFFFFF ? 0 : cam.last_number + 1;
                u.ready_at = cam.t0 + std::chrono::milliseconds(int64_t(due) * live_interval_ms);
            } else {
                u.bytes = scene(cam.header_number, cam.rng);
                u.ready_at = clk::now();
            }
        } else {
            decide(u, next(cam.pictures, cam.after));
        }
    } else {
        logf("submit on unknown endpoint %02x", u.ep);
        decide(u, step{step::stall, {}});
    }
}

// Fills the client's URB from what was decided, and hands it back.
void complete(urb &u, UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    if (u.live_header) {
        uint32_t num = uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - cam.t0).count() /
            live_interval_ms);
        cam.last_number = cam.header_number = num;
        u.bytes = header(num, 0, 64, 0x1BB1B11B);
    }
    auto *k = reinterpret_cast<usbdevfs_urb *>(u.self->data);
    int n = int(std::min<size_t>(u.bytes.size(), size_t(u.buf->data_len)));
    if (u.ep & 0x80) {
        if (n > 0)
            memcpy(u.buf->data, u.bytes.data(), size_t(n));
        if (u.status == 0 && u.bytes.size() > size_t(u.buf->data_len))
            u.status = -EOVERFLOW;
    } else {
        n = u.status == 0 ? u.buf->data_len : 0;
    }
    k->status = u.status;
    k->actual_length = n;
    if (u.ep & 0x80)
        logf("in %02x len=%d -> status=%d n=%d", u.ep, u.buf->data_len, u.status, n);
    // The argument points to the program's pointer slot, which gets the URB's address.
    GError *error = nullptr;
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
    if (!slot) {
        g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, u.self);
    g_object_unref(slot);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void release(urb &u)
{
    g_object_unref(u.buf);
    g_object_unref(u.self);
}

// The unsigned int an ioctl's argument points to (written back when the ioctl completes).
unsigned *value(UMockdevIoctlData *arg)
{
    static unsigned none;
    GError *error = nullptr;
    UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
    if (!v) {
        g_error_free(error);
        return &none;
    }
    g_object_unref(v); // arg keeps it alive until the ioctl completes
    return reinterpret_cast<unsigned *>(v->data);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    std::unique_lock<std::mutex> hold(cam.lock);
    gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;

    if (cam.unplugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (req) {
    case USBDEVFS_GET_CAPABILITIES:
        // Reads over 16 KiB are not split.
        *value(arg) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SETCONFIGURATION:
        logf("set_configuration %u", *value(arg));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
        logf("claim_interface %u", *value(arg));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
        logf("release_interface %u", *value(arg));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_CLEAR_HALT:
        logf("clear_halt %02x", *value(arg));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA); // no kernel driver bound
        return TRUE;
    case USBDEVFS_RESET:
        logf("reset");
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        urb u;
        u.self = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!u.self) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto *k = reinterpret_cast<usbdevfs_urb *>(u.self->data);
        u.ep = k->endpoint;
        u.buf = umockdev_ioctl_data_resolve(u.self, offsetof(usbdevfs_urb, buffer),
                                            size_t(k->buffer_length), &error);
        if (!u.buf) {
            g_error_free(error);
            g_object_unref(u.self);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        g_object_ref(u.self);
        g_object_ref(u.buf);
        submit(u);
        if (cam.unplugged) {
            release(u);
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        cam.pending.push_back(u);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // The argument is the URB's address in the program.
        gulong which = 0;
        memcpy(&which, arg->data, std::min(sizeof which, size_t(arg->data_len)));
        for (urb &u : cam.pending)
            if (u.self->client_addr == which) {
                logf("in %02x len=%d -> discarded", u.ep, u.buf->data_len);
                u.ready = true;
                u.live_header = false;
                u.status = -ENOENT;
                u.bytes.clear();
                u.ready_at = clk::now();
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto now = clk::now();
        for (auto it = cam.pending.begin(); it != cam.pending.end(); ++it)
            if (it->ready && it->ready_at <= now) {
                urb u = *it;
                cam.pending.erase(it);
                complete(u, arg, client);
                release(u);
                return TRUE;
            }
        // Nothing due. libusb polls again at once (the node is always readable), so make
        // it wait a little rather than spin.
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    default:
        logf("unhandled ioctl %#lx", req);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

// Device descriptor and two configurations, each with interface 0 and bulk endpoints 0x81 and
// 0x82 (IN) and 0x03 (OUT).
const char descriptors[] =
    // device: USB 2.0, vendor 833c, product 0001, two configurations
    "12010002000000403c830100000100000002"
    // configuration 2: one interface, bus-powered 500 mA; interface 0, three bulk endpoints
    "0902270001020080fa"
    "0904000003ff000000"
    "070581020002000705820200020007050302000200"
    // configuration 1: the same
    "0902270001010080fa"
    "0904000003ff000000"
    "070581020002000705820200020007050302000200";

bool add_camera(UMockdevTestbed *bed)
{
    std::string rec = std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
                                  "N: bus/usb/001/002\n"
                                  "E: SUBSYSTEM=usb\n"
                                  "E: DEVTYPE=usb_device\n"
                                  "E: DEVNAME=/dev/bus/usb/001/002\n"
                                  "E: BUSNUM=001\n"
                                  "E: DEVNUM=002\n"
                                  "A: busnum=1\\n\n"
                                  "A: devnum=2\\n\n"
                                  "A: speed=480\\n\n"
                                  "A: bConfigurationValue=1\\n\n"
                                  "A: idVendor=833c\\n\n"
                                  "A: idProduct=0001\\n\n"
                                  "H: descriptors=") +
                      descriptors + "\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(bed, rec.c_str(), &error)) {
        fprintf(stderr, "camera_emulator: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    UMockdevIoctlBase *h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(on_ioctl), nullptr);
    if (!umockdev_testbed_attach_ioctl(bed, "/dev/bus/usb/001/002", h, &error)) {
        fprintf(stderr, "camera_emulator: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    return true;
}

int usage()
{
    fprintf(stderr, "usage: camera_emulator [--scenario FILE | --live | --no-camera] "
                    "[--log FILE] -- PROGRAM [ARG...]\n");
    return 2;
}

int run_child(char **argv)
{
    std::string preload = "libumockdev-preload.so.0";
    if (const char *old = getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer-built program accepts the preload only with this.
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = getenv("ASAN_OPTIONS"); old && *old)
        asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("camera_emulator: fork");
        return 125;
    }
    if (pid == 0) {
        execvp(argv[0], argv);
        fprintf(stderr, "camera_emulator: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char **argv)
{
    const char *scenario = nullptr;
    const char *logpath = nullptr;
    bool live = false, none = false;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--") {
            i++;
            break;
        }
        if (a == "--scenario" && i + 1 < argc) {
            scenario = argv[++i];
        } else if (a == "--log" && i + 1 < argc) {
            logpath = argv[++i];
        } else if (a == "--live") {
            live = true;
        } else if (a == "--no-camera") {
            none = true;
        } else {
            return usage();
        }
    }
    if (i >= argc || (!scenario && !live && !none))
        return usage();

    if (logpath && !(cam.log = fopen(logpath, "w"))) {
        perror(logpath);
        return 2;
    }
    cam.live = live;
    if (scenario && !load_scenario(scenario))
        return 2;

    UMockdevTestbed *bed = umockdev_testbed_new();
    if (!none && !add_camera(bed))
        return 2;
    int status = run_child(argv + i);

    std::lock_guard<std::mutex> hold(cam.lock);
    logf("exit %d", status);
    if (cam.log)
        fclose(cam.log);
    cam.log = nullptr;
    return status;
}
