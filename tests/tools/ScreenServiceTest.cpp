// The screen service ("coresys screen-service") run as the built program and asked for
// screenshots by the built FrameGrab, and the pixel conversion behind its fb and x11 sources.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <fcntl.h>
#include <png.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CoreSystem/Platform/Posix.h"
#include "ScreenCapture.h"
#include "TestSupport.h"

namespace {

using CoreSystemTest::Child;
using CoreSystemTest::Environment;
using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Program;

constexpr const char* kSemaphore = "/ScreenShotWaiting";

using CoreSystemTest::Outcome;

std::string Coresys() {
    return CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";
}

Outcome RunCoresys(const std::vector<std::string>& args) {
    return CoreSystemTest::RunProgram(Coresys(), args);
}

Outcome RunFrameGrab(const std::string& path) {
    return CoreSystemTest::RunProgram(CoreSystemTest::BuildDirectory() + "/tools/framegrab/FrameGrab",
                                      {path});
}

/// Starts the service and waits until it has published both endpoints.
std::unique_ptr<Program> StartService(const IsolatedHost& host, std::vector<std::string> args,
                                      const Environment& environment = {}) {
    static int counter = 0;
    const std::string ready = host.root() + "/ready-" + std::to_string(counter++);
    args.insert(args.begin(), "screen-service");
    args.insert(args.end(), {"--ready-file", ready});
    auto service = std::make_unique<Program>(Coresys(), args, environment);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return std::filesystem::exists(ready); }));
    return service;
}

bool SemaphoreExists() {
    sem_t* semaphore = CoreSystem::Platform::sem_open(kSemaphore, 0);
    if (semaphore == SEM_FAILED) return false;
    sem_close(semaphore);
    return true;
}

/// A PNG file read back as 8-bit RGB (empty when it cannot be read).
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    std::vector<int> at(int x, int y) const {
        const std::size_t i =
            (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

Picture ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture picture;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return {};
    }
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    return picture;
}

TEST(ScreenService, ServesFrameGrabLogsEveryRequestAndStopsOnSigterm) {
    IsolatedHost host;
    Outcome alone = RunCoresys({"screen-service", "--source", "pattern"});
    EXPECT_EQ(alone.status, 1);
    EXPECT_EQ(alone.err.rfind("coresys: no registry", 0), 0u) << alone.err;
    EXPECT_FALSE(SemaphoreExists());

    ASSERT_EQ(RunCoresys({"nm", "create"}).status, 0);
    // Posts left by an earlier service would release FrameGrab before its file exists.
    sem_t* leftover = CoreSystem::Platform::sem_open(kSemaphore, O_CREAT, 0600, 2);
    ASSERT_NE(leftover, SEM_FAILED);
    auto service = StartService(host, {"--source", "pattern", "--size", "320x240"});
    int posts = -1;
    sem_getvalue(leftover, &posts);
    sem_close(leftover);
    EXPECT_EQ(posts, 0);

    const std::string shot = host.root() + "/shot.png";
    Outcome grab = RunFrameGrab(shot);
    EXPECT_EQ(grab.status, 0) << grab.err;
    EXPECT_EQ(grab.out, "FrameGrab: Finished writing file " + shot + "\n");
    const Picture picture = ReadPng(shot);
    ASSERT_EQ(picture.width, 320);
    ASSERT_EQ(picture.height, 240);
    EXPECT_EQ(picture.at(0, 0), (std::vector<int>{128, 128, 128}));  // frame
    EXPECT_EQ(picture.at(20, 80), (std::vector<int>{255, 255, 255}));
    EXPECT_EQ(picture.at(60, 80), (std::vector<int>{255, 255, 0}));
    EXPECT_EQ(picture.at(220, 80), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(picture.at(300, 80), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(picture.at(1, 180), (std::vector<int>{0, 0, 0}));  // grey ramp
    EXPECT_EQ(picture.at(318, 180), (std::vector<int>{254, 254, 254}));

    // An unwritable path: nothing is written, the semaphore is still posted, FrameGrab tells.
    const std::string lost = host.root() + "/missing/shot.png";
    Outcome failed = RunFrameGrab(lost);
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("does not exist"), std::string::npos) << failed.err;
    // Malformed requests are logged and ignored: too short, and text without its NUL.
    EXPECT_EQ(RunCoresys({"nm", "send", "ScreenAction", "0102", "6500000001000000020000004142"}).status, 0);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return service->printed("text without NUL"); }))
        << service->output();

    kill(service->pid(), SIGTERM);
    Outcome served = service->finish();
    EXPECT_EQ(served.status, 0);
    for (const std::string& line : std::vector<std::string>{
             "ready source=pattern",
             "request endpoint=ScreenshotAction code=100 words=0,1 text=\"" + shot + "\"",
             "screenshot path=\"" + shot + "\" written=320x240 source=pattern",
             "request endpoint=ScreenAction code=2 words=0",
             "screenshot path=\"" + lost + "\" failed source=pattern",
             "malformed endpoint=ScreenAction size=2 reason=\"shorter than 4 bytes\"",
             "malformed endpoint=ScreenAction size=14 reason=\"text without NUL\""}) {
        EXPECT_NE(served.out.find(line + "\n"), std::string::npos) << line << "\nnot in:\n" << served.out;
    }
    EXPECT_NE(served.err.find("cannot create " + lost + ".tmp."), std::string::npos) << served.err;
    EXPECT_EQ(served.out.find("error pid"), std::string::npos) << served.out;
    EXPECT_FALSE(SemaphoreExists());
    for (const auto& entry : std::filesystem::directory_iterator(host.root())) {
        EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
    }
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        std::string candidate = directory;
        candidate += "/";
        candidate += name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

/// True once the child has ended; it is left for Wait to reap.
bool Ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

/// An Xvfb server on a display number nobody uses, stopped and reaped at the end of the test.
/// It keeps what was drawn when its last client leaves (-noreset).
struct VirtualDisplay {
    Child server;
    std::string name;

    explicit VirtualDisplay(const IsolatedHost& host, const std::string& program) {
        for (int attempt = 0; attempt < 20 && name.empty(); ++attempt) {
            const int number = 100 + static_cast<int>((getpid() * 7 + attempt * 31) % 900);
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (std::filesystem::exists(socket) ||
                std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
                continue;
            }
            const std::string log = host.root() + "/xvfb.log";
            server = CoreSystemTest::Spawn([&] {
                const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
                close(fd);
                execl(program.c_str(), program.c_str(), (":" + std::to_string(number)).c_str(), "-screen",
                      "0", "640x480x24", "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
                return 127;
            });
            // Another server may take the number first: then this one ends and the next is tried.
            const bool up = CoreSystemTest::Eventually(
                [&] { return std::filesystem::exists(socket) || Ended(server.pid); });
            if (up && !Ended(server.pid)) {
                name = ":" + std::to_string(number);
            } else {
                stop();
            }
        }
    }
    ~VirtualDisplay() { stop(); }
    void stop() {
        if (server.pid <= 0) return;
        kill(server.pid, SIGTERM);
        CoreSystemTest::Wait(server);
    }
};

/// Paints the root window of `display`: `background` everywhere, `corner` over the top left
/// 100x50 pixels. Colours are 8-bit RGB.
bool PaintRoot(const std::string& display, const std::vector<int>& background,
               const std::vector<int>& corner) {
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection) return false;
    const Window root = DefaultRootWindow(connection);
    const Colormap colormap = DefaultColormap(connection, DefaultScreen(connection));
    auto pixel = [&](const std::vector<int>& rgb) {
        XColor colour{};
        colour.red = static_cast<unsigned short>(rgb[0] * 257);
        colour.green = static_cast<unsigned short>(rgb[1] * 257);
        colour.blue = static_cast<unsigned short>(rgb[2] * 257);
        XAllocColor(connection, colormap, &colour);
        return colour.pixel;
    };
    XSetWindowBackground(connection, root, pixel(background));
    XClearWindow(connection, root);
    GC gc = XCreateGC(connection, root, 0, nullptr);
    XSetForeground(connection, gc, pixel(corner));
    XFillRectangle(connection, root, gc, 0, 0, 100, 50);
    XFreeGC(connection, gc);
    XSync(connection, False);
    XCloseDisplay(connection);
    return true;
}

TEST(ScreenService, CapturesTheX11RootWindowUnderXvfb) {
    const std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty())
        GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb): the x11 source is not tested";
    IsolatedHost host;
    VirtualDisplay display(host, xvfb);
    ASSERT_FALSE(display.name.empty()) << "no Xvfb server came up";
    const std::vector<int> background{255, 128, 0};
    const std::vector<int> corner{0, 64, 255};
    ASSERT_TRUE(PaintRoot(display.name, background, corner));

    ASSERT_EQ(RunCoresys({"nm", "create"}).status, 0);
    auto service = StartService(host, {"--source", "x11", "--once"}, {{"DISPLAY", display.name}});
    const std::string shot = host.root() + "/x11.png";
    Outcome grab = RunFrameGrab(shot);
    EXPECT_EQ(grab.status, 0) << grab.err;
    Outcome served = service->finish();  // --once: ends after the one screenshot
    EXPECT_EQ(served.status, 0) << served.err;
    EXPECT_NE(served.out.find("written=640x480 source=x11"), std::string::npos) << served.out;

    const Picture picture = ReadPng(shot);
    ASSERT_EQ(picture.width, 640);
    ASSERT_EQ(picture.height, 480);
    EXPECT_EQ(picture.at(10, 10), corner);
    EXPECT_EQ(picture.at(99, 49), corner);
    EXPECT_EQ(picture.at(100, 10), background);
    EXPECT_EQ(picture.at(639, 479), background);
}

TEST(ScreenCapture, ConvertsPackedPixelLayoutsToRgb) {
    using Coresys::ChannelFromMask;
    using Coresys::ConvertPixels;
    using Coresys::PixelFormat;

    // 16-bit 5-6-5, little-endian: red, green, blue, mid grey.
    const std::uint8_t rgb565[] = {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84};
    PixelFormat format565{2, false, {11, 5}, {5, 6}, {0, 5}};
    EXPECT_EQ(ConvertPixels(rgb565, 4, 1, sizeof rgb565, format565).rgb,
              (std::vector<std::uint8_t>{255, 0, 0, 0, 255, 0, 0, 0, 255, 132, 130, 132}));

    // 24-bit, blue in the lowest byte, two rows of two pixels with two bytes of padding each.
    const std::uint8_t bgr[] = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE};
    PixelFormat format24{3, false, {16, 8}, {8, 8}, {0, 8}};
    EXPECT_EQ(ConvertPixels(bgr, 2, 2, 8, format24).rgb,
              (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));

    // 32-bit big-endian with X11-style masks; 10-bit channels scale down to 8 bits.
    const std::uint8_t xrgb[] = {0x00, 0x11, 0x22, 0x33};
    PixelFormat format32{4, true, ChannelFromMask(0xFF0000), ChannelFromMask(0xFF00), ChannelFromMask(0xFF)};
    EXPECT_EQ(ConvertPixels(xrgb, 1, 1, 4, format32).rgb, (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
    const std::uint32_t deep = (1023u << 20) | (512u << 10) | 0u;  // 10-10-10, little-endian
    std::uint8_t deepBytes[4];
    for (int b = 0; b < 4; ++b) deepBytes[b] = static_cast<std::uint8_t>(deep >> (8 * b));
    PixelFormat format30{4, false, ChannelFromMask(0x3FF00000), ChannelFromMask(0xFFC00),
                         ChannelFromMask(0x3FF)};
    EXPECT_EQ(ConvertPixels(deepBytes, 1, 1, 4, format30).rgb, (std::vector<std::uint8_t>{255, 128, 0}));
    // A channel the format lacks reads as 0.
    PixelFormat noBlue{4, true, ChannelFromMask(0xFF0000), ChannelFromMask(0xFF00), ChannelFromMask(0)};
    EXPECT_EQ(ConvertPixels(xrgb, 1, 1, 4, noBlue).rgb, (std::vector<std::uint8_t>{0x11, 0x22, 0}));
}

}  // namespace
