// "coresys screen-service" asked for screenshots by FrameGrab; the pixel conversion of its sources.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <png.h>
#include <unistd.h>
#include <csignal>
#include <chrono>
#include <fstream>
#include <tuple>

#include "ScreenCapture.h"
#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using Rgb = std::vector<int>;

/// A PNG file (or PNG bytes) read back as 8-bit RGB (0x0 when it cannot be read).
struct Picture {
    png_image image{};
    std::vector<std::uint8_t> rgb;
    explicit Picture(const std::string& path, bool inMemory = false) {
        image.version = PNG_IMAGE_VERSION;
        if (!(inMemory ? png_image_begin_read_from_memory(&image, path.data(), path.size())
                       : png_image_begin_read_from_file(&image, path.c_str())))
            return;
        image.format = PNG_FORMAT_RGB;
        rgb.resize(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) image.width = image.height = 0;
    }
    Rgb at(unsigned x, unsigned y) const {
        const std::size_t i = 3 * (std::size_t{y} * image.width + x);
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

int Posts(sem_t* semaphore) {
    int posts = -1;
    sem_getvalue(semaphore, &posts);
    return posts;
}

/// Asks for a screenshot at `path` with FrameGrab, expecting success, and reads it back.
Picture Grab(const std::string& path) {
    const Outcome grab = RunProgram(kFrameGrab, {path});
    EXPECT_EQ(grab.status, 0) << grab.err;
    EXPECT_EQ(grab.out, kFinished + path + "\n");
    return Picture(path);
}

TEST(ScreenService, ServesFrameGrabLogsEveryRequestStopsFastAndCleanAndNeverReportsAFailedCapture) {
    IsolatedHost host;
    // Posts left by an earlier service would release FrameGrab before its file exists.
    sem_t* leftover = ScreenShotSemaphore(2);
    ASSERT_NE(leftover, SEM_FAILED);
    CreateRegistry();
    auto service = StartReady(host, {"screen-service", "--source", "pattern", "--size", "320x240"});
    EXPECT_EQ(Posts(leftover), 0);

    const std::string shot = host.root() + "/shot.png";
    const Picture picture = Grab(shot);
    ASSERT_EQ(picture.image.width, 320u);
    ASSERT_EQ(picture.image.height, 240u);
    EXPECT_EQ(picture.at(60, 80), (Rgb{255, 255, 0}));  // colour bars
    EXPECT_EQ(picture.at(318, 180), (Rgb{254, 254, 254}));  // grey ramp
    // A relative path, echoed as given; the longest names leave room for the file written beside.
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(host.root());
    EXPECT_EQ(Grab(std::string(248, 'n') + ".png").image.width, 320u);
    std::filesystem::current_path(here);

    // '-': the PNG and nothing else on standard output.
    const Outcome piped = RunProgram(kFrameGrab, {"-"});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(Picture(piped.out, true).image.width, 320u);
    EXPECT_EQ(piped.out.size() - piped.out.rfind("IEND") , 8u) << "more than the PNG on standard output";
    EXPECT_NE(piped.err.find(kFinished + "-\n"), std::string::npos) << piped.err;

    // Malformed requests are logged and ignored: too short, and text without its NUL.
    EXPECT_EQ(RunCoresys({"nm", "send", "ScreenAction", "0102", "6500000001000000020000004142"}).status, 0);
    ASSERT_TRUE(Eventually([&] { return service->printed("text without NUL"); }))
        << "not logged as malformed:\n" << service->output();
    EXPECT_EQ(Posts(leftover), 0) << "a post was left behind";
    sem_close(leftover);

    kill(service->pid(), SIGTERM);
    // Idle, it stops at once (no time-out waited out): its semaphore is gone within a second.
    const std::string semaphore = "/dev/shm/sem." + host.word() + ".ScreenShotWaiting";
    EXPECT_TRUE(Eventually([&] { return !std::filesystem::exists(semaphore); }, std::chrono::seconds(1)))
        << "slow to stop";
    Outcome served = service->finish();
    EXPECT_EQ(served.status, 0);
    for (const std::string& line :
         {"request endpoint=ScreenshotAction code=100 words=0,1 text=\"" + shot + "\"",
          std::string("request endpoint=ScreenAction code=2 words=0"),
          std::string("malformed endpoint=ScreenAction size=2 reason=\"shorter than 4 bytes\""),
          std::string("malformed endpoint=ScreenAction size=14 reason=\"text without NUL\"")}) {
        EXPECT_NE(served.out.find(line + "\n"), std::string::npos) << line << "\nnot in:\n" << served.out;
    }
    EXPECT_EQ(SharedObjects(host, "Notification"), std::vector<std::string>{}) << "the service left objects behind";

    SCOPED_TRACE("a source whose every capture fails");
    const std::string device = host.root() + "/fb";
    std::ofstream(device) << "not a framebuffer";  // readable, so the service starts
    service = StartReady(host, {"screen-service", "--source", "fb:" + device});
    sem_t* done = ScreenShotSemaphore();
    const std::string old = host.root() + "/old.png";
    std::ofstream(old) << "old";
    const auto start = std::chrono::steady_clock::now();
    const Outcome grab = RunProgram(kFrameGrab, {"--timeout", "30", old});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "waited for the deadline";
    EXPECT_EQ(grab.status, 1);
    EXPECT_EQ(grab.out, "");
    EXPECT_NE(grab.err.find("FrameGrab: the screen service could not write " + old + ": "), std::string::npos)
        << grab.err;
    EXPECT_TRUE(service->printed("screenshot path=\"" + old + "\" failed source=fb:" + device)) << service->output();
    EXPECT_EQ(Posts(done), 0) << "the failure was posted";
    kill(service->pid(), SIGTERM);
    EXPECT_EQ(service->finish().status, 0);
}

/// Fills the root window of `display` with `background` and its top left 100x50 pixels with `corner`.
bool PaintRoot(const std::string& display, const Rgb& background, const Rgb& corner) {
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection) return false;
    const Window root = DefaultRootWindow(connection);
    GC gc = XCreateGC(connection, root, 0, nullptr);
    for (const auto& [rgb, width, height] : {std::tuple{background, 640u, 480u}, std::tuple{corner, 100u, 50u}}) {
        // Xvfb's 24-bit visual is TrueColor with red in the high byte.
        XSetForeground(connection, gc, static_cast<unsigned long>(rgb[0] << 16 | rgb[1] << 8 | rgb[2]));
        XFillRectangle(connection, root, gc, 0, 0, width, height);
    }
    XFreeGC(connection, gc);
    XCloseDisplay(connection);  // sends the requests and waits for them
    return true;
}

/// Xvfb on a free display it prints once ready (-displayfd), keeping drawings (-noreset); SIGTERM
/// so that it removes its socket.
struct VirtualDisplay : Program {
    explicit VirtualDisplay(const std::string& xvfb)
        : Program(xvfb, {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}) {}
    ~VirtualDisplay() {
        if (pid() > 0) kill(pid(), SIGTERM);
        finish();
    }
};

TEST(ScreenService, CapturesTheX11RootWindowUnderXvfb) {
    const std::string xvfb = "/usr/bin/Xvfb";
    if (access(xvfb.c_str(), X_OK) != 0)
        GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb): the x11 source is not tested";
    IsolatedHost host;
    VirtualDisplay server(xvfb);
    ASSERT_TRUE(Eventually([&] { return server.printed("\n"); })) << "no Xvfb server came up";
    const std::string display = ":" + server.output().substr(0, server.output().find('\n'));
    const Rgb background{255, 128, 0}, corner{0, 64, 255};
    ASSERT_TRUE(PaintRoot(display, background, corner)) << display;

    CreateRegistry();
    auto service = StartReady(host, {"screen-service", "--source", "x11", "--once"}, {{"DISPLAY", display}});
    const Picture picture = Grab(host.root() + "/x11.png");
    Outcome served = service->finish();  // --once: ends after the one screenshot
    EXPECT_EQ(served.status, 0) << served.err;
    EXPECT_NE(served.out.find("written=640x480 source=x11"), std::string::npos) << served.out;
    ASSERT_EQ(picture.image.width, 640u);
    ASSERT_EQ(picture.image.height, 480u);
    EXPECT_EQ(picture.at(99, 49), corner);
    EXPECT_EQ(picture.at(100, 10), background);
    EXPECT_EQ(picture.at(639, 479), background);
}

TEST(ScreenCapture, ConvertsPackedPixelLayoutsToRgb) {
    using Coresys::ChannelFromMask;
    const Coresys::Channel red{16, 8}, green{8, 8}, blue{0, 8};
    struct Case {
        const char* layout;
        Coresys::PixelFormat format;
        int rows;  // of equal length: the bytes of one row are its stride
        std::vector<std::uint8_t> bytes, rgb;
    };
    // clang-format off
    const Case cases[] = {
        {"16-bit 5-6-5 little-endian: red, green, blue, grey", {2, false, {11, 5}, {5, 6}, {0, 5}}, 1,
         {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84}, {255, 0, 0, 0, 255, 0, 0, 0, 255, 132, 130, 132}},
        {"24-bit, blue lowest, rows padded by 2 bytes", {3, false, red, green, blue}, 2,
         {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE}, {3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}},
        {"32-bit big-endian, X11 masks",
         {4, true, ChannelFromMask(0xFF0000), ChannelFromMask(0xFF00), ChannelFromMask(0xFF)}, 1,
         {0x00, 0x11, 0x22, 0x33}, {0x11, 0x22, 0x33}},
        {"32-bit 10-10-10 little-endian, scaled to 8 bits",
         {4, false, ChannelFromMask(0x3FF00000), ChannelFromMask(0xFFC00), ChannelFromMask(0x3FF)}, 1,
         {0x00, 0x00, 0xF8, 0x3F}, {255, 128, 0}},
        {"32-bit without blue: reads as 0", {4, true, red, green, ChannelFromMask(0)}, 1,
         {0x00, 0x11, 0x22, 0x33}, {0x11, 0x22, 0}},
    };
    // clang-format on
    for (const Case& c : cases) {
        const int width = static_cast<int>(c.rgb.size() / 3) / c.rows;
        const std::size_t stride = c.bytes.size() / static_cast<std::size_t>(c.rows);
        EXPECT_EQ(Coresys::ConvertPixels(c.bytes.data(), width, c.rows, stride, c.format).rgb, c.rgb) << c.layout;
    }
}

}  // namespace
