// The command channel on the wire: block layout, the reply read, and what a failure returns.
#include <gtest/gtest.h>

#include "camera/sendcmd.h"
#include "fakeusb.h"

using fake::bulk_in;
using fake::bulk_out;

namespace {

struct cmdcase {
    const char *name;
    uint32_t cmd;
    uint32_t arg;
    int len;
    std::vector<uint8_t> wire;
};

void PrintTo(const cmdcase &c, std::ostream *os)
{
    *os << c.name;
}

class Sendcmd : public ::testing::TestWithParam<cmdcase> {
  protected:
    void SetUp() override
    {
        fake::reset();
        h = fake::open_handle();
    }
    void TearDown() override
    {
        fake::close_handle();
        EXPECT_EQ(fake::problems, std::vector<std::string>{});
    }
    libusb_device_handle *h = nullptr;
};

TEST_P(Sendcmd, BlockGoesOutLowByteFirstThenOneReplyIsRead)
{
    const cmdcase &c = GetParam();
    EXPECT_EQ(sendcmd(h, c.cmd, c.arg, c.len), 0);
    EXPECT_EQ(fake::log, (std::vector<std::string>{bulk_out(c.wire), bulk_in(0x82, 4096, 0, 4)}));
}

INSTANTIATE_TEST_SUITE_P(
    Wire, Sendcmd,
    ::testing::Values(
        cmdcase{"word_alone", 0x6BB6B66B, 0, 4, {0x6B, 0xB6, 0xB6, 0x6B}},
        cmdcase{"arg_one", 0x6BB6B672, 1, 8, {0x72, 0xB6, 0xB6, 0x6B, 0x01, 0, 0, 0}},
        cmdcase{"arg_zero", 0x6BB6B672, 0, 8, {0x72, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
        cmdcase{"arg_all_bytes", 0x01020304, 0xA1B2C3D4, 8, {4, 3, 2, 1, 0xD4, 0xC3, 0xB2, 0xA1}},
        cmdcase{"short_ignores_arg", 0x6BB6B674, 0xFFFFFFFF, 4, {0x74, 0xB6, 0xB6, 0x6B}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sendcmd, FailedSendReturnsItsCodeAndReadsNoReply)
{
    fake::cam.sends.push_back({LIBUSB_ERROR_PIPE, {}});
    EXPECT_EQ(sendcmd(h, 0x6BB6B66B, 0, 4), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(fake::log,
              (std::vector<std::string>{bulk_out({0x6B, 0xB6, 0xB6, 0x6B}, LIBUSB_ERROR_PIPE)}));
}

TEST_F(Sendcmd, MissingReplyCostsOneTimeoutAndReturnsIt)
{
    fake::cam.replies.push_back(fake::timeout());
    EXPECT_EQ(sendcmd(h, 0x6BB6B66C, 0, 4), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(fake::now_ms, 2000u);
    EXPECT_EQ(fake::log.back(), bulk_in(0x82, 4096, LIBUSB_ERROR_TIMEOUT, 0));
}

TEST_F(Sendcmd, ReplyContentDoesNotMatter)
{
    fake::cam.replies.push_back({0, std::vector<uint8_t>(4096, 0xEE)});
    fake::cam.replies.push_back({0, {}});
    EXPECT_EQ(sendcmd(h, 0x6BB6B66C, 0, 4), 0);
    EXPECT_EQ(sendcmd(h, 0x6BB6B66C, 0, 4), 0);
}

TEST_F(Sendcmd, LengthBeyondTheBlockSendsNothing)
{
    EXPECT_EQ(sendcmd(h, 0x6BB6B66B, 0, 9), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(sendcmd(h, 0x6BB6B66B, 0, -1), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake::log.empty());
}

} // namespace
