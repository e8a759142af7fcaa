// The built usb_live, linked against the real libusb, run against the emulated camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using strings = std::vector<std::string>;

namespace {

const std::string announcement = "live preview (type=0, official mode). Ctrl+C to stop.\n";

struct entry {
    double ms;
    std::string what;
};

struct result {
    int status = -1;
    std::string out, err;
    std::vector<entry> log;
    double seconds = 0;

    strings events() const
    {
        strings s;
        for (const entry &e : log)
            s.push_back(e.what);
        return s;
    }
    // Time of the n-th (from 0) log entry that starts with what.
    double at(const std::string &what, int n = 0) const
    {
        for (const entry &e : log)
            if (e.what.rfind(what, 0) == 0 && n-- == 0)
                return e.ms;
        ADD_FAILURE() << "no " << what << " in the log";
        return 0;
    }
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string tmpdir()
{
    // Plain storage: it is still needed by the clean-up at exit, after static strings are gone.
    static char dir[] = "/tmp/usb_live_e2e.XXXXXX";
    static bool made = [] {
        if (!mkdtemp(dir))
            return false;
        atexit([] {
            char rm[64];
            snprintf(rm, sizeof rm, "rm -rf %s", dir);
            if (system(rm) != 0)
                fprintf(stderr, "could not remove %s\n", dir);
        });
        return true;
    }();
    EXPECT_TRUE(made);
    return dir;
}

// Runs usb_live under the emulator with the given scenario ("" for none, which means
// --no-camera) and collects its exit status, stdout, stderr and the emulator's log.
result run(const std::string &scenario, const std::string &mode = "--scenario")
{
    std::string d = tmpdir();
    std::ofstream(d + "/scenario") << scenario;
    std::string cmd = std::string(EMULATOR) + " " + mode +
                      (mode == "--scenario" ? " " + d + "/scenario" : "") + " --log " + d +
                      "/log -- " + USB_LIVE + " >" + d + "/out 2>" + d + "/err </dev/null";
    auto t0 = std::chrono::steady_clock::now();
    int st = system(cmd.c_str());
    result r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(d + "/out");
    r.err = slurp(d + "/err");
    std::istringstream log(slurp(d + "/log"));
    for (std::string line; std::getline(log, line);) {
        std::istringstream l(line);
        entry e;
        l >> e.ms >> std::ws;
        std::getline(l, e.what);
        r.log.push_back(e);
    }
    return r;
}

// The screen of a picture of 1000s with hot (3000) 2 x 4 blocks at the given text cells.
std::string spots_screen(unsigned num, std::vector<std::pair<int, int>> cells)
{
    strings rows(30, std::string(80, ' '));
    for (auto [r, c] : cells)
        rows[size_t(r)][size_t(c)] = '%';
    std::string s =
        "\x1b[2J\x1b[Hframe " + std::to_string(num) + " type=0 range=[1000..3000]  (bright=hot)\n";
    for (const std::string &row : rows)
        s += row + "\n";
    return s;
}

void command(strings &s, const std::string &bytes)
{
    s.push_back("out 03 len=" + std::to_string((bytes.size() + 1) / 3) + " [" + bytes + "]");
    s.push_back("in 82 len=4096 -> status=0 n=4");
}

strings start_sequence()
{
    strings s{"set_configuration 2", "set_configuration 1", "claim_interface 0"};
    command(s, "6b b6 b6 6b");
    command(s, "6c b6 b6 6b");
    command(s, "6f b6 b6 6b");
    command(s, "72 b6 b6 6b 00 00 00 00");
    command(s, "72 b6 b6 6b 00 00 00 00");
    command(s, "73 b6 b6 6b");
    command(s, "72 b6 b6 6b 01 00 00 00");
    return s;
}

strings closing_sequence()
{
    strings s{"clear_halt 03", "clear_halt 82"};
    command(s, "74 b6 b6 6b");
    s.push_back("exit 0");
    return s;
}

TEST(Camera, WholeConversationAndScreensByteExact)
{
    result r = run("header 7 type=2\n"
                   "frame spot 40 20\n"
                   "header 7\n" // seen: no frame read
                   "header 8 len=64\n"
                   "frame spot 158 116\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    strings want = start_sequence();
    want.push_back("in 81 len=64 -> status=0 n=28");
    want.push_back("in 81 len=40000 -> status=0 n=38428");
    want.push_back("in 81 len=64 -> status=0 n=28");
    want.push_back("in 81 len=64 -> status=0 n=64");
    want.push_back("in 81 len=40000 -> status=0 n=38428");
    for (int i = 3; i < 200; i++)
        want.push_back("in 81 len=64 -> status=0 n=0");
    for (const std::string &s : closing_sequence())
        want.push_back(s);
    EXPECT_EQ(r.events(), want);

    std::string screen1 = spots_screen(7, {{5, 20}});
    screen1.replace(screen1.find("type=0"), 6, "type=2");
    EXPECT_EQ(r.out, announcement + screen1 + spots_screen(8, {{29, 79}}));

    // The pauses, as lower bounds: 300 ms after the fifth command, 500 ms after the sixth,
    // 300 ms after the seventh; 50 ms after each drawn picture; 100 ms before closing.
    EXPECT_GE(r.at("out 03 len=4 [73") - r.at("in 82", 4), 300);
    EXPECT_GE(r.at("out 03 len=8 [72 b6 b6 6b 01") - r.at("in 82", 5), 500);
    EXPECT_GE(r.at("in 81 len=64") - r.at("in 82", 6), 300);
    EXPECT_GE(r.at("in 81 len=64", 1) - r.at("in 81 len=40000", 0), 50);
    EXPECT_GE(r.at("in 81 len=64", 3) - r.at("in 81 len=40000", 1), 50);
    EXPECT_GE(r.at("out 03 len=4 [74") - r.at("clear_halt 82"), 100);
}

TEST(Camera, NoCamera)
{
    result r = run("", "--no-camera");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "no device\n");
    EXPECT_EQ(r.err, "");
}

TEST(Camera, UnpluggedDuringThePreview)
{
    result r = run("header 1\nframe spot 0 0\nunplug\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, announcement + spots_screen(1, {{0, 0}}));
    EXPECT_LT(r.seconds, 5) << "the polls after the unplug should fail at once";
    strings ev = r.events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], "unplugged");
    EXPECT_EQ(ev.back(), "exit 0");
}

TEST(Camera, LiveSceneMoves)
{
    result r = run("", "--live");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    size_t screens = 0;
    for (size_t at = r.out.find("\x1b[2J"); at != std::string::npos;
         at = r.out.find("\x1b[2J", at + 1))
        screens++;
    EXPECT_GE(screens, 190u) << "nearly every poll should bring a new picture";
}

// A real terminal: tmux runs usb_live under the emulator and its screen is read back.
TEST(Terminal, ScreenShowsTheStatusLineAndTheHotSpot)
{
    std::string d = tmpdir();
    std::ofstream(d + "/tmux_scenario") << "header 3\nframe spot 100 60\n";
    std::string sock = "-L usb_live_e2e_" + std::to_string(getpid());
    std::string inner = std::string(EMULATOR) + " --scenario " + d + "/tmux_scenario -- " +
                        USB_LIVE + "; echo status=$?; sleep 30";
    std::string start = "TERM=xterm tmux " + sock + " new-session -d -x 100 -y 40 '" + inner + "'";
    ASSERT_EQ(system(start.c_str()), 0);

    std::string pane;
    for (int i = 0; i < 100 && pane.find("status=") == std::string::npos; i++) {
        usleep(100 * 1000);
        std::string cap = "tmux " + sock + " capture-pane -p > " + d + "/pane";
        if (system(cap.c_str()) != 0)
            break;
        pane = slurp(d + "/pane");
    }
    EXPECT_EQ(system(("tmux " + sock + " kill-server").c_str()), 0);

    std::istringstream in(pane);
    strings lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_GE(lines.size(), 32u) << pane;
    EXPECT_EQ(lines[0], "frame 3 type=0 range=[1000..3000]  (bright=hot)");
    for (int r = 0; r < 30; r++) {
        std::string want(80, ' ');
        if (r == 15)
            want[50] = '%';
        // capture-pane drops trailing blanks
        std::string got = lines[size_t(1 + r)];
        got.resize(80, ' ');
        EXPECT_EQ(got, want) << "text row " << r;
    }
    EXPECT_EQ(lines[31], "status=0");
}

} // namespace

namespace {

// Faults the camera can throw at the program. In each the run goes on along its usual path:
// only its own output, nothing on stderr, exit status 0, and no longer than the timeouts allow.
struct fault {
    const char *name;
    const char *scenario;
    bool drawn;         // the picture after the fault is still drawn
    double min_seconds; // the timeouts it must cost
    double max_seconds;
    const char *in_log; // an entry that shows the fault happened
};

void PrintTo(const fault &f, std::ostream *os)
{
    *os << f.name;
}

class Faults : public ::testing::TestWithParam<fault> {};

TEST_P(Faults, RunGoesOnAndEndsNormally)
{
    const fault &f = GetParam();
    result r = run(std::string(f.scenario) + "header 4\nframe spot 40 20\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, announcement + (f.drawn ? spots_screen(4, {{5, 20}}) : ""));
    EXPECT_GE(r.seconds, f.min_seconds);
    EXPECT_LT(r.seconds, f.max_seconds);
    strings ev = r.events();
    EXPECT_NE(std::find(ev.begin(), ev.end(), f.in_log), ev.end()) << f.in_log;
    if (f.drawn) {
        EXPECT_NE(std::find(ev.begin(), ev.end(), "out 03 len=4 [74 b6 b6 6b]"), ev.end());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Camera, Faults,
    ::testing::Values(
        // The third command stalls: no reply is read for it, the others go on.
        fault{"command_stalls", "send ok\nsend ok\nsend stall\n", true, 1.1, 5,
              "out 03 len=8 [72 b6 b6 6b 00 00 00 00]"},
        // The first reply never comes: one 2 s timeout, once.
        fault{"reply_never_comes", "reply timeout\n", true, 3.1, 6, "in 82 len=4096 -> discarded"},
        fault{"picture_read_times_out", "timeout\n", true, 3.1, 6, "in 81 len=64 -> discarded"},
        // A frame transfer larger than the buffer is an overflow: that picture is lost.
        fault{"frame_overflows", "header 3\noverflow\n", true, 1.1, 5,
              "in 81 len=40000 -> status=-75 n=40000"},
        fault{"frame_too_long", "header 3\nframe uniform 9 len=40001\n", true, 1.1, 5,
              "in 81 len=40000 -> status=-75 n=40000"},
        fault{"header_too_long",
              "raw 1b b1 b1 1b 09 00 00 00 " // 65 bytes
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00\n",
              true, 1.1, 5, "in 81 len=64 -> status=-75 n=64"},
        fault{"endpoint_stalls_and_errs", "stall\nioerror\n", true, 1.1, 5,
              "in 81 len=64 -> status=-32 n=0"},
        // Unplugged during the start sequence: every later request fails at once.
        fault{"unplugged_while_starting", "send ok\nsend unplug\n", false, 1.1, 5, "unplugged"},
        fault{"unplugged_during_preview", "header 1\nunplug\n", false, 1.1, 5, "unplugged"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
