// Images for the simulated screen service: the test card, framebuffer and X11 capture, converted
// to RGB through one packed-pixel converter, and PNG output through a temporary file.
#include "ScreenCapture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <png.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

namespace Coresys {
namespace {

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

/// Scales the bits of `channel` in `value` to 0..255, rounding to nearest.
std::uint8_t ChannelValue(std::uint32_t value, const Channel& channel) {
    if (channel.length <= 0 || channel.offset < 0 || channel.offset >= 32) return 0;
    const int length = channel.length > 32 ? 32 : channel.length;
    const std::uint64_t max = (std::uint64_t{1} << length) - 1;
    const std::uint64_t raw = (std::uint64_t{value} >> channel.offset) & max;
    return static_cast<std::uint8_t>((raw * 255 + max / 2) / max);
}

bool HostIsBigEndian() {
    const std::uint16_t one = 1;
    std::uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 0;
}

// ---- framebuffer ----------------------------------------------------------------------------

/// Closes a file descriptor when it goes out of scope.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

/// Reads exactly `size` bytes at `offset`; false with errno set (0 for end of file) otherwise.
bool ReadAt(int fd, std::uint8_t* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// ---- X11 ------------------------------------------------------------------------------------

// Xlib's default handler ends the process on any protocol error; ours records the text for the
// caller of the failed request (only the main thread talks to X).
char gXErrorText[256];

int RecordXError(Display* display, XErrorEvent* event) {
    XGetErrorText(display, event->error_code, gXErrorText, sizeof gXErrorText);
    return 0;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
struct XImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

std::string DisplayName() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

// ---- PNG ------------------------------------------------------------------------------------

void PngError(png_structp png, png_const_charp message) {
    auto* text = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(text, 256, "%s", message);
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

/// Encodes `image` into `file`. Kept free of objects with destructors: libpng reports errors
/// with longjmp. `errorText` (256 bytes) receives libpng's message.
bool EncodePng(FILE* file, const Image& image, char* errorText) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, errorText, PngError, PngWarning);
    if (!png) {
        std::snprintf(errorText, 256, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(errorText, 256, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 3;
    for (int y = 0; y < image.height; ++y) {
        png_write_row(png, image.rgb.data() + static_cast<std::size_t>(y) * rowBytes);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Channel ChannelFromMask(unsigned long mask) {
    Channel channel;
    if (mask == 0) return channel;
    while ((mask & 1) == 0) {
        mask >>= 1;
        ++channel.offset;
    }
    while ((mask & 1) != 0) {
        mask >>= 1;
        ++channel.length;
    }
    return channel;
}

Image ConvertPixels(const std::uint8_t* data, int width, int height, std::size_t stride,
                    const PixelFormat& format) {
    Image image;
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const int bytes = format.bytesPerPixel;
    std::uint8_t* out = image.rgb.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* pixel = data + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x, pixel += bytes) {
            std::uint32_t value = 0;
            for (int b = 0; b < bytes; ++b) {
                if (format.bigEndian) {
                    value = (value << 8) | pixel[b];
                } else {
                    value |= std::uint32_t{pixel[b]} << (8 * b);
                }
            }
            *out++ = ChannelValue(value, format.red);
            *out++ = ChannelValue(value, format.green);
            *out++ = ChannelValue(value, format.blue);
        }
    }
    return image;
}

Image TestPattern(int width, int height) {
    static const std::uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                             {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    Image image;
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const int barsEnd = height * 2 / 3;
    const int rampEnd = height * 5 / 6;
    std::uint8_t* out = image.rgb.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, out += 3) {
            if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
                out[0] = out[1] = out[2] = 128;
            } else if (y < barsEnd) {
                std::memcpy(out, kBars[static_cast<long>(x) * 8 / width], 3);
            } else if (y < rampEnd) {
                out[0] = out[1] = out[2] =
                    static_cast<std::uint8_t>(static_cast<long>(x) * 255 / (width - 1));
            } else {
                out[0] = out[1] = out[2] = ((x / 8 + y / 8) % 2 == 0) ? 0 : 255;
            }
        }
    }
    return image;
}

bool CaptureFramebuffer(const std::string& device, Image& image, std::string& error) {
    FileDescriptor file{open(device.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        error = "cannot open framebuffer " + device + ": " + ErrnoText(errno);
        return false;
    }
    fb_var_screeninfo variable{};
    fb_fix_screeninfo fixed{};
    if (ioctl(file.fd, FBIOGET_VSCREENINFO, &variable) != 0 ||
        ioctl(file.fd, FBIOGET_FSCREENINFO, &fixed) != 0) {
        error = device + " is not a framebuffer: " + ErrnoText(errno);
        return false;
    }
    if (fixed.type != FB_TYPE_PACKED_PIXELS ||
        (fixed.visual != FB_VISUAL_TRUECOLOR && fixed.visual != FB_VISUAL_DIRECTCOLOR)) {
        error = "framebuffer " + device + " is not packed true colour (type " + std::to_string(fixed.type) +
                ", visual " + std::to_string(fixed.visual) + ")";
        return false;
    }
    const unsigned bits = variable.bits_per_pixel;
    if (bits != 16 && bits != 24 && bits != 32) {
        error = "framebuffer " + device + " has " + std::to_string(bits) +
                " bits per pixel (16, 24 or 32 supported)";
        return false;
    }
    const std::size_t bytesPerPixel = bits / 8;
    const std::size_t rowBytes = variable.xres * bytesPerPixel;
    if (variable.xres == 0 || variable.yres == 0 || fixed.line_length < rowBytes) {
        error = "framebuffer " + device + " reports an unusable geometry " + std::to_string(variable.xres) +
                "x" + std::to_string(variable.yres) + ", " + std::to_string(fixed.line_length) +
                " bytes per line";
        return false;
    }
    std::vector<std::uint8_t> pixels(rowBytes * variable.yres);
    for (std::size_t y = 0; y < variable.yres; ++y) {
        const off_t offset =
            static_cast<off_t>((variable.yoffset + y) * fixed.line_length + variable.xoffset * bytesPerPixel);
        if (!ReadAt(file.fd, pixels.data() + y * rowBytes, rowBytes, offset)) {
            error = "cannot read framebuffer " + device + ": " + (errno ? ErrnoText(errno) : "short read");
            return false;
        }
    }
    PixelFormat format;
    format.bytesPerPixel = static_cast<int>(bytesPerPixel);
    format.bigEndian = HostIsBigEndian();
    format.red = {static_cast<int>(variable.red.offset), static_cast<int>(variable.red.length)};
    format.green = {static_cast<int>(variable.green.offset), static_cast<int>(variable.green.length)};
    format.blue = {static_cast<int>(variable.blue.offset), static_cast<int>(variable.blue.length)};
    image = ConvertPixels(pixels.data(), static_cast<int>(variable.xres), static_cast<int>(variable.yres),
                          rowBytes, format);
    return true;
}

bool DisplayAvailable() {
    if (DisplayName().empty()) return false;
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    return display != nullptr;
}

bool CaptureX11(Image& image, std::string& error) {
    XSetErrorHandler(RecordXError);
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        error = "cannot open X11 display '" + DisplayName() + "'";
        return false;
    }
    const Window root = DefaultRootWindow(display.get());
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display.get(), root, &attributes)) {
        error = "cannot read the root window of display '" + DisplayName() + "'";
        return false;
    }
    const int visualClass = attributes.visual->c_class;
    if (visualClass != TrueColor && visualClass != DirectColor) {
        error = "display '" + DisplayName() + "' has no true-colour visual (class " +
                std::to_string(visualClass) + ")";
        return false;
    }
    gXErrorText[0] = 0;
    std::unique_ptr<XImage, XImageDestroyer> captured(
        XGetImage(display.get(), root, 0, 0, static_cast<unsigned>(attributes.width),
                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap));
    if (!captured) {
        error = "XGetImage of display '" + DisplayName() + "' failed" +
                (gXErrorText[0] ? std::string(": ") + gXErrorText : std::string());
        return false;
    }
    const int bits = captured->bits_per_pixel;
    if (bits != 16 && bits != 24 && bits != 32) {
        error = "display '" + DisplayName() + "' has " + std::to_string(bits) +
                " bits per pixel (16, 24 or 32 supported)";
        return false;
    }
    PixelFormat format;
    format.bytesPerPixel = bits / 8;
    format.bigEndian = captured->byte_order == MSBFirst;
    format.red = ChannelFromMask(attributes.visual->red_mask);
    format.green = ChannelFromMask(attributes.visual->green_mask);
    format.blue = ChannelFromMask(attributes.visual->blue_mask);
    image = ConvertPixels(reinterpret_cast<const std::uint8_t*>(captured->data), captured->width,
                          captured->height, static_cast<std::size_t>(captured->bytes_per_line), format);
    return true;
}

bool WritePngFile(const std::string& path, const Image& image, std::string& error) {
    if (path.empty()) {
        error = "cannot write a screenshot to an empty path";
        return false;
    }
    // A short name of its own beside the target: a legal file name never makes it too long.
    std::string temporary = DirectoryOf(path) + "/.screenshot-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file in " + DirectoryOf(path) + ": " + ErrnoText(errno);
        return false;
    }
    fchmod(fd, 0644);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = "cannot write " + temporary + ": " + ErrnoText(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    char pngError[256] = "";
    bool written = EncodePng(file, image, pngError);
    if (!written) error = "cannot encode " + temporary + ": " + pngError;
    if (written && (std::fflush(file) != 0 || fsync(fileno(file)) != 0)) {
        error = "cannot write " + temporary + ": " + ErrnoText(errno);
        written = false;
    }
    if (std::fclose(file) != 0 && written) {
        error = "cannot write " + temporary + ": " + ErrnoText(errno);
        written = false;
    }
    if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + ErrnoText(errno);
        written = false;
    }
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    // The new name survives a power loss only once its directory is on disk too.
    const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

}  // namespace Coresys
