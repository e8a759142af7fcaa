// The text screen drawn for one picture.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fakeusb.h"
#include "preview/render.h"

using strings = std::vector<std::string>;

namespace {

const std::string clear = "\x1b[2J\x1b[H";

struct drawn {
    std::string out;
    strings log;
};

drawn draw(const std::vector<uint16_t> &px, uint32_t num = 7, unsigned type = 3)
{
    fake::reset();
    std::vector<uint8_t> f = fake::frame(px, 40000).data;
    fake::capture_begin();
    render(f.data(), num, type);
    fake::capture_end();
    return {fake::out(), fake::log};
}

// The 30 picture rows of a screen, without their newlines.
strings rows(const std::string &out)
{
    strings r;
    size_t at = out.find('\n') + 1;
    for (size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        r.push_back(out.substr(at, nl - at));
    return r;
}

// Sets the 2 x 4 pixel block shown at text row r, column c.
void block(std::vector<uint16_t> &px, int r, int c, const std::vector<uint16_t> &v)
{
    auto it = v.begin();
    for (int y = 4 * r; y < 4 * r + 4; y++)
        for (int x = 2 * c; x < 2 * c + 2; x++)
            px[size_t(160 * y + x)] = v.size() == 1 ? *v.begin() : *it++;
}

std::string blank_row()
{
    return std::string(80, ' ');
}

TEST(Render, SmallGoldenScreen)
{
    std::vector<uint16_t> px = fake::uniform(100);
    block(px, 0, 0, {150});
    block(px, 1, 2, {200});
    block(px, 29, 79, {125});
    drawn d = draw(px, 4242, 1);

    std::string want = clear + "frame 4242 type=1 range=[100..200]  (bright=hot)\n";
    want += "=" + std::string(79, ' ') + "\n";
    want += "  %" + std::string(77, ' ') + "\n";
    for (int r = 2; r < 29; r++)
        want += blank_row() + "\n";
    want += std::string(79, ' ') + ":\n";
    EXPECT_EQ(d.out, want);
}

TEST(Render, OneWriteThenTheFiftyMillisecondPause)
{
    std::vector<uint16_t> px = fake::uniform(0);
    px[0] = 1;
    drawn d = draw(px);
    ASSERT_EQ(d.log.size(), 2u);
    EXPECT_EQ(d.log[0], "write " + d.out);
    EXPECT_EQ(d.log[1], "pause 50");

    ASSERT_EQ(d.out.rfind(clear, 0), 0u);
    EXPECT_EQ(std::count(d.out.begin(), d.out.end(), '\n'), 31);
    strings r = rows(d.out);
    ASSERT_EQ(r.size(), 30u);
    for (const std::string &row : r)
        EXPECT_EQ(row.size(), 80u);
}

TEST(Render, UniformPictureDrawsNothingAndDoesNotPause)
{
    for (uint16_t v : {0, 1234, 65535}) {
        drawn d = draw(fake::uniform(v));
        EXPECT_EQ(d.out, "");
        EXPECT_EQ(d.log, strings{});
    }
}

struct levelcase {
    const char *name;
    uint16_t lo, hi;
    std::vector<uint16_t> cell; // one value for all eight pixels, or eight
    char want;
};

void PrintTo(const levelcase &c, std::ostream *os)
{
    *os << c.name;
}

class Level : public ::testing::TestWithParam<levelcase> {};

// The background is lo, one pixel elsewhere is hi, and the block at row 10, column 40 is the
// case's cell.
TEST_P(Level, CellCharacter)
{
    const levelcase &c = GetParam();
    std::vector<uint16_t> px = fake::uniform(c.lo);
    px[160 * 119 + 159] = c.hi;
    block(px, 10, 40, c.cell);
    drawn d = draw(px);
    strings r = rows(d.out);
    ASSERT_EQ(r.size(), 30u);
    EXPECT_EQ(r[10][40], c.want);
    EXPECT_EQ(r[0][0], ' ');
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Level,
    ::testing::Values(
        levelcase{"midway", 100, 200, {150}, '='}, levelcase{"at_lo", 100, 200, {100}, ' '},
        levelcase{"rounds_down", 100, 200, {101, 101, 101, 101, 101, 101, 101, 100}, ' '},
        levelcase{
            "eight_sum_to_8lo_plus_8", 100, 200, {101, 101, 101, 101, 101, 101, 101, 101}, ' '},
        levelcase{"span_1_at_hi", 100, 101, {101}, '='},
        levelcase{"span_2_at_hi", 100, 102, {102}, '*'},
        levelcase{"span_3_at_hi", 100, 103, {103}, '*'},
        levelcase{"span_4_at_hi", 100, 104, {104}, '#'},
        levelcase{"span_7_at_hi", 100, 107, {107}, '#'},
        levelcase{"span_8_at_hi", 100, 108, {108}, '%'},
        levelcase{"full_range_at_hi", 0, 65535, {65535}, '%'},
        levelcase{"full_range_just_below", 0, 65535, {65534}, '%'},
        levelcase{"full_range_first_step", 0, 65535, {7282}, '.'},
        levelcase{"full_range_below_first_step", 0, 65535, {7281}, ' '}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Render, RampHasTenStepsAndTheLastIsNeverDrawn)
{
    EXPECT_STREQ(ramp, " .:-=+*#%@");
    std::mt19937 rng(1);
    for (int i = 0; i < 20; i++) {
        std::vector<uint16_t> px(160 * 120);
        for (uint16_t &v : px)
            v = uint16_t(rng() >> (i % 16));
        drawn d = draw(px);
        EXPECT_EQ(d.out.find('@'), std::string::npos);
    }
}

TEST(Render, HotBlockLandsAtItsTextRowAndColumn)
{
    for (auto [r, c] : {std::pair{0, 0}, {0, 79}, {29, 0}, {29, 79}, {13, 37}}) {
        std::vector<uint16_t> px = fake::uniform(10);
        block(px, r, c, {60000});
        strings got = rows(draw(px).out);
        strings want(30, blank_row());
        want[size_t(r)][size_t(c)] = '%';
        EXPECT_EQ(got, want) << "block at text row " << r << ", column " << c;
    }
}

// Eight pixels of 65535 need more than 16 bits of sum.
TEST(Render, BlockSumDoesNotOverflow)
{
    std::vector<uint16_t> px = fake::uniform(65535);
    px[160 * 119 + 159] = 0;
    block(px, 0, 1, {65535, 65535, 65535, 65535, 65535, 65535, 65535, 0});
    strings r = rows(draw(px).out);
    EXPECT_EQ(r[0][0], '%'); // 65535 * 9 / 65536
    EXPECT_EQ(r[0][1], '#'); // average 57343
}

} // namespace

namespace {

// The level is the integer (avg - lo) * 9 / (hi - lo + 1). Checked over many spans at the
// averages where it steps, each drawn as a uniform 2 x 4 block.
TEST(Render, LevelStepsWhereTheDivisionSaysOverEverySpan)
{
    std::mt19937 rng(3);
    std::vector<uint32_t> spans = {1, 2, 3, 8, 9, 10, 255, 256, 4095, 65535};
    while (spans.size() < 60)
        spans.push_back(1 + rng() % 65535);
    for (uint32_t span : spans) {
        uint32_t lo = span == 65535 ? 0 : rng() % (65536 - span);
        uint32_t hi = lo + span;
        std::vector<uint16_t> px = fake::uniform(uint16_t(lo));
        px[0] = uint16_t(hi);
        // Averages just below, at and above each step, then random ones.
        std::vector<uint32_t> avgs;
        for (uint32_t k = 1; k <= 8; k++) {
            uint64_t step = (uint64_t(k) * (span + 1) + 8) / 9; // first offset with level k
            for (int64_t d = -1; d <= 1; d++)
                if (int64_t(step) + d >= 0 && int64_t(step) + d <= int64_t(span))
                    avgs.push_back(lo + uint32_t(int64_t(step) + d));
        }
        while (avgs.size() < 2399)
            avgs.push_back(lo + rng() % (span + 1));
        for (size_t i = 0; i < avgs.size(); i++)
            block(px, int((i + 1) / 80), int((i + 1) % 80), {uint16_t(avgs[i])});
        px[0] = uint16_t(hi); // the first block keeps hi, so the range is [lo..hi]

        strings r = rows(draw(px).out);
        ASSERT_EQ(r.size(), 30u);
        for (size_t i = 0; i < avgs.size(); i++) {
            char want = ramp[(avgs[i] - lo) * 9 / (span + 1)];
            ASSERT_EQ(r[(i + 1) / 80][(i + 1) % 80], want)
                << "lo " << lo << " hi " << hi << " average " << avgs[i];
        }
    }
}

} // namespace
