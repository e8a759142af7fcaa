// Which transfers on the picture endpoint become pictures, and what each poll costs.
#include <gtest/gtest.h>

#include "fakeusb.h"
#include "preview/acquire.h"

using fake::frame;
using fake::header;
using strings = std::vector<std::string>;

namespace {

// A picture with some range, so that it is drawn.
std::vector<uint16_t> picture()
{
    std::vector<uint16_t> px = fake::uniform(1000);
    px[1] = 2000;
    return px;
}

fake::xfer bytes(std::vector<uint8_t> data)
{
    return {0, std::move(data)};
}

struct seen {
    int header_reads = 0;
    int frame_reads = 0;
    strings drawn; // "frame N type=T" of each drawn picture
};

// Runs the preview loop over the scripted transfers.
seen preview_over(std::deque<fake::xfer> script)
{
    fake::reset();
    fake::cam.pictures = std::move(script);
    libusb_device_handle *h = fake::open_handle();
    fake::capture_begin();
    preview(h);
    fake::capture_end();
    fake::close_handle();

    seen s;
    for (const std::string &e : fake::log) {
        s.header_reads += e.rfind("bulk 81 len=64 ", 0) == 0;
        s.frame_reads += e.rfind("bulk 81 len=40000 ", 0) == 0;
    }
    // Each screen starts with the clear sequence and "frame N type=T range=...".
    std::string out = fake::out();
    const std::string start = "\x1b[2J\x1b[H";
    for (size_t at = out.find(start); at != std::string::npos; at = out.find(start, at + 1)) {
        size_t from = at + start.size();
        s.drawn.push_back(out.substr(from, out.find(" range=", from) - from));
    }
    return s;
}

struct pollcase {
    const char *name;
    std::deque<fake::xfer> script;
    int frame_reads;
    strings drawn;
};

void PrintTo(const pollcase &c, std::ostream *os)
{
    *os << c.name;
}

class Acceptance : public ::testing::TestWithParam<pollcase> {};

TEST_P(Acceptance, OnlyNewCompletePicturesAreDrawn)
{
    const pollcase &c = GetParam();
    seen s = preview_over(c.script);
    EXPECT_EQ(s.header_reads, 200);
    EXPECT_EQ(s.frame_reads, c.frame_reads);
    EXPECT_EQ(s.drawn, c.drawn);
    EXPECT_EQ(fake::problems, strings{});
}

std::vector<uint8_t> wrong_magic()
{
    std::vector<uint8_t> h = header(5).data;
    h[3] = 0x1C;
    return h;
}

const fake::xfer pic = frame(picture());

INSTANTIATE_TEST_SUITE_P(
    Polls, Acceptance,
    ::testing::Values(
        pollcase{"header_of_27_bytes", {header(5, 0, 27), pic}, 0, {}},
        pollcase{"header_of_28_bytes", {header(5, 0, 28), pic}, 1, {"frame 5 type=0"}},
        pollcase{"header_of_64_bytes", {header(5, 0, 64), pic}, 1, {"frame 5 type=0"}},
        pollcase{"header_too_long", {{0, header(5, 0, 65).data}, pic}, 0, {}},
        pollcase{"wrong_magic", {bytes(wrong_magic()), pic}, 0, {}},
        pollcase{"frame_type_passed_on", {header(9, 0xFE), pic}, 1, {"frame 9 type=254"}},
        pollcase{"repeated_number", {header(5), pic, header(5), pic}, 1, {"frame 5 type=0"}},
        pollcase{"first_number_all_ones",
                 {header(0xFFFFFFFF), pic, header(0), pic},
                 1,
                 {"frame 0 type=0"}},
        pollcase{"frame_of_38399_bytes_uses_up_its_number",
                 {header(5), frame(picture(), 38399), header(5), pic, header(6), pic},
                 2,
                 {"frame 6 type=0"}},
        pollcase{
            "frame_of_38400_bytes", {header(5), frame(picture(), 38400)}, 1, {"frame 5 type=0"}},
        pollcase{
            "frame_of_40000_bytes", {header(5), frame(picture(), 40000)}, 1, {"frame 5 type=0"}},
        pollcase{"frame_overflow", {header(5), frame(picture(), 40001)}, 1, {}},
        pollcase{"failed_frame_uses_up_its_number",
                 {header(5), {LIBUSB_ERROR_IO, {}}, header(5), pic},
                 1,
                 {}},
        pollcase{"header_errors_count_as_polls",
                 {{LIBUSB_ERROR_IO, header(1).data},
                  fake::timeout(),
                  {LIBUSB_ERROR_NO_DEVICE, {}},
                  header(2),
                  pic},
                 1,
                 {"frame 2 type=0"}},
        pollcase{
            "header_with_error_and_data", {{LIBUSB_ERROR_OVERFLOW, header(1).data}, pic}, 0, {}},
        pollcase{"frame_in_place_of_header", {pic, header(3), pic}, 1, {"frame 3 type=0"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Preview, ExactlyTwoHundredPolls)
{
    std::deque<fake::xfer> script;
    for (uint32_t n = 0; n < 300; n++) {
        script.push_back(header(n));
        script.push_back(pic);
    }
    seen s = preview_over(script);
    EXPECT_EQ(s.header_reads, 200);
    EXPECT_EQ(s.frame_reads, 200);
    EXPECT_EQ(s.drawn.size(), 200u);
    EXPECT_EQ(s.drawn.back(), "frame 199 type=0");
    EXPECT_EQ(fake::now_ms, 200u * 50); // one pause per drawn picture, none between polls
}

TEST(Preview, SilentCameraCostsTwoHundredTimeoutsAndPrintsNothing)
{
    seen s = preview_over({});
    EXPECT_EQ(s.header_reads, 200);
    EXPECT_EQ(fake::out(), "");
    EXPECT_EQ(fake::now_ms, 200u * 2000);
}

// Pixels past a transfer that stops inside the pixel block keep what the buffer held: zeros at
// first, then what a longer transfer left there.
TEST(Preview, ShortTransferKeepsTheBufferTail)
{
    std::vector<uint16_t> warm = fake::uniform(500);
    warm[0] = 900;
    std::vector<uint16_t> hot = fake::uniform(700);
    hot[0] = 800;
    seen s = preview_over(
        {header(1), frame(warm, 38400), header(2), frame(hot), header(3), frame(warm, 38400)});
    ASSERT_EQ(s.drawn.size(), 3u);
    std::string out = fake::out();
    EXPECT_NE(out.find("frame 1 type=0 range=[0..900]"), std::string::npos);
    EXPECT_NE(out.find("frame 3 type=0 range=[500..900]"), std::string::npos);
}

} // namespace
