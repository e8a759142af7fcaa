// A scripted camera behind the libusb functions usb_live calls, and the pause.
//
// Tests link the program's own code against this instead of libusb. Everything that crosses
// the boundary lands, in order, in fake::log: each transfer (endpoint, length, timeout, the bytes
// sent, the result), configuration, claim, clear-halt, open, close, each pause, and each write(2)
// the program made on stdout. Time is simulated: a timeout or a pause advances fake::now_ms.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <libusb.h>

namespace fake {

// What one transfer does: its result code and the bytes that arrive (IN) or are taken (OUT,
// where data is ignored and the whole block counts as sent unless the result is an error).
struct xfer {
    int result = 0;
    std::vector<uint8_t> data;
};

struct device {
    uint16_t vendor = 0;
    int open_result = 0;
    int descriptor_result = 0; // non-zero: the descriptor read fails, leaving garbage
};

// The scripted world. Unscripted transfers: a send succeeds, a reply brings 4 bytes, a read on
// the picture endpoint times out (2000 ms of simulated time).
struct world {
    int init_result = 0;
    std::vector<device> devices;
    bool list_fails = false;   // libusb_get_device_list returns LIBUSB_ERROR_NO_MEM
    std::deque<xfer> sends;    // endpoint 0x03
    std::deque<xfer> replies;  // endpoint 0x82
    std::deque<xfer> pictures; // endpoint 0x81
    bool quiet = false;        // log and capture nothing (and allocate nothing) at the boundary
};

extern world cam;
extern std::vector<std::string> log;
extern uint64_t now_ms;
// Called at every pause, after it is logged.
extern void (*on_pause)(unsigned int ms);
// Misuse seen at the boundary (unknown handle or endpoint, a call after libusb_exit, a
// resource left open at the end). A test expects it to be empty.
extern std::vector<std::string> problems;

void reset();

// Runs usb_live's main with stdout captured write by write; returns its exit status and checks
// that every libusb resource was given back.
int run();

// A handle as if the camera had been opened, for tests that drive one piece of the program;
// close_handle() gives it back.
libusb_device_handle *open_handle();
void close_handle();

// Puts stdout's write(2) calls into the log between begin and end (run() does this itself).
void capture_begin();
void capture_end();

// Everything written to stdout during the last capture.
std::string out();

// Picture builders for the scripts.
xfer header(uint32_t num, uint8_t type = 0, int len = 28);
xfer frame(const std::vector<uint16_t> &pixels, int len = 28 + 38400);
std::vector<uint16_t> uniform(uint16_t v);
xfer timeout();

// Log entries, in the form run() records them.
std::string bulk_out(const std::vector<uint8_t> &bytes, int result = 0);
std::string bulk_in(unsigned char ep, int len, int result, int n);

} // namespace fake
