// A whole run of the program against the scripted camera: scan, start, preview, close, exit.
#include <gtest/gtest.h>

#include "fakeusb.h"

using fake::bulk_in;
using fake::bulk_out;
using strings = std::vector<std::string>;

namespace {

const char announcement[] = "live preview (type=0, official mode). Ctrl+C to stop.\n";

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { EXPECT_EQ(fake::problems, strings{}); }
};

std::vector<uint8_t> word(uint8_t low)
{
    return {low, 0xB6, 0xB6, 0x6B};
}

std::vector<uint8_t> mode(uint8_t arg)
{
    return {0x72, 0xB6, 0xB6, 0x6B, arg, 0, 0, 0};
}

// A command as it looks on the wire when the camera answers it.
void command(strings &s, const std::vector<uint8_t> &block)
{
    s.push_back(bulk_out(block));
    s.push_back(bulk_in(0x82, 4096, 0, 4));
}

// Every step of a run with the camera at #index and no pictures, in order.
strings full_run(int index)
{
    strings s{"init", "list " + std::to_string(index + 1)};
    for (int i = 0; i < index; i++)
        s.push_back("open #" + std::to_string(i) + " -> " + std::to_string(LIBUSB_ERROR_ACCESS));
    s.push_back("open #" + std::to_string(index) + " -> 0");
    s.insert(s.end(), {"free list", "config 2", "config 1", "claim 0"});
    command(s, word(0x6B));
    command(s, word(0x6C));
    command(s, word(0x6F));
    command(s, mode(0));
    command(s, mode(0));
    s.push_back("pause 300");
    command(s, word(0x73));
    s.push_back("pause 500");
    command(s, mode(1));
    s.push_back("pause 300");
    s.push_back(std::string("write ") + announcement);
    for (int i = 0; i < 200; i++)
        s.push_back(bulk_in(0x81, 64, LIBUSB_ERROR_TIMEOUT, 0));
    s.insert(s.end(), {"clear halt 03", "clear halt 82", "pause 100"});
    command(s, word(0x74));
    s.insert(s.end(), {"close", "exit"});
    return s;
}

TEST_F(Lifecycle, SilentCameraGetsTheWholeConversationAndExitsZero)
{
    fake::cam.devices = {{0x833C, 0}};
    EXPECT_EQ(fake::run(), 0);
    EXPECT_EQ(fake::log, full_run(0));
    EXPECT_EQ(fake::out(), announcement);
    // Three start-up pauses, 200 header timeouts, the pause before closing.
    EXPECT_EQ(fake::now_ms, 300u + 500 + 300 + 200 * 2000 + 100);
}

TEST_F(Lifecycle, FirstMatchingDeviceThatOpensIsTheCamera)
{
    fake::cam.devices = {
        {0x833C, LIBUSB_ERROR_ACCESS}, {0x833C, LIBUSB_ERROR_ACCESS}, {0x833C, 0}, {0x833C, 0}};
    EXPECT_EQ(fake::run(), 0);
    strings want = full_run(2);
    want[1] = "list 4";
    EXPECT_EQ(fake::log, want);
}

struct scancase {
    const char *name;
    std::vector<fake::device> devices;
    strings log;
};

void PrintTo(const scancase &c, std::ostream *os)
{
    *os << c.name;
}

class Scan : public Lifecycle, public ::testing::WithParamInterface<scancase> {};

TEST_P(Scan, NoCameraThatOpensMeansNoDevice)
{
    fake::cam.devices = GetParam().devices;
    EXPECT_EQ(fake::run(), 1);
    EXPECT_EQ(fake::out(), "no device\n");
    strings want = GetParam().log;
    want.insert(want.end(), {"exit", "write no device\n"});
    EXPECT_EQ(fake::log, want);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Scan,
    ::testing::Values(scancase{"none", {}, {"init", "list 0", "free list"}},
                      scancase{"other_vendors",
                               {{0x1234, 0}, {0x833D, 0}, {0x338C, 0}},
                               {"init", "list 3", "free list"}},
                      scancase{
                          "camera_will_not_open",
                          {{0x0001, 0}, {0x833C, LIBUSB_ERROR_ACCESS}, {0x833C, LIBUSB_ERROR_BUSY}},
                          {"init", "list 3", "open #1 -> -3", "open #2 -> -6", "free list"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, FailedDeviceListIsLikeAnEmptyOne)
{
    fake::cam.list_fails = true;
    EXPECT_EQ(fake::run(), 1);
    EXPECT_EQ(fake::log, (strings{"init", "list -> -11", "exit", "write no device\n"}));
}

TEST_F(Lifecycle, FailedInitMeansNoDeviceAndNoOtherLibusbCall)
{
    fake::cam.init_result = LIBUSB_ERROR_OTHER;
    fake::cam.devices = {{0x833C, 0}};
    EXPECT_EQ(fake::run(), 1);
    EXPECT_EQ(fake::log, (strings{"init", "write no device\n"}));
}

TEST_F(Lifecycle, FailingCommandsDoNotChangeTheCourseOfTheRun)
{
    fake::cam.devices = {{0x833C, 0}};
    for (int i = 0; i < 8; i++)
        fake::cam.sends.push_back({LIBUSB_ERROR_PIPE, {}});
    EXPECT_EQ(fake::run(), 0);

    strings sent;
    for (const std::string &e : fake::log)
        if (e.rfind("bulk 82", 0) == 0 || e.rfind("bulk 03", 0) == 0 || e.rfind("pause", 0) == 0)
            sent.push_back(e);
    auto failed = [](uint8_t low) { return bulk_out(word(low), LIBUSB_ERROR_PIPE); };
    EXPECT_EQ(
        sent,
        (strings{failed(0x6B), failed(0x6C), failed(0x6F), bulk_out(mode(0), LIBUSB_ERROR_PIPE),
                 bulk_out(mode(0), LIBUSB_ERROR_PIPE), "pause 300", failed(0x73), "pause 500",
                 bulk_out(mode(1), LIBUSB_ERROR_PIPE), "pause 300", "pause 100", failed(0x74)}));
    EXPECT_EQ(fake::out(), announcement);
}

TEST_F(Lifecycle, PicturesAreDrawnBetweenStartAndClose)
{
    fake::cam.devices = {{0x833C, 0}};
    std::vector<uint16_t> px = fake::uniform(100);
    px[0] = 200;
    fake::cam.pictures = {fake::header(1), fake::frame(px)};
    EXPECT_EQ(fake::run(), 0);

    std::string out = fake::out();
    ASSERT_EQ(out.rfind(announcement, 0), 0u);
    EXPECT_NE(out.find("\x1b[2J\x1b[Hframe 1 type=0 range=[100..200]  (bright=hot)\n"),
              std::string::npos);
    EXPECT_EQ(fake::log[fake::log.size() - 7], "clear halt 03");
}

} // namespace
