// Images for the simulated screen service: a generated test card, the Linux framebuffer, an X11
// display's root window, and PNG files written so that a reader never sees half of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Coresys {

/// An 8-bit RGB image: rows top to bottom, three bytes per pixel, no padding.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

/// Where one colour channel sits in a packed pixel value.
struct Channel {
    int offset = 0;  ///< lowest bit
    int length = 0;  ///< number of bits; 0: the channel is absent (reads as 0)
};

/// Layout of packed true-colour pixels.
struct PixelFormat {
    int bytesPerPixel = 4;   ///< 2, 3 or 4
    bool bigEndian = false;  ///< byte order of one pixel value
    Channel red, green, blue;
};

/// The channel described by a contiguous bit mask, as X11 visuals give it (0: absent).
Channel ChannelFromMask(unsigned long mask);

/// Converts `height` rows of `width` packed pixels, `stride` bytes apart, to RGB. Channels are
/// scaled to 8 bits. `format.bytesPerPixel` must be 2, 3 or 4 and `stride` hold a whole row.
Image ConvertPixels(const std::uint8_t* data, int width, int height, std::size_t stride,
                    const PixelFormat& format);

/// A deterministic test card: eight colour bars over the upper two thirds, a grey ramp from
/// black to white, a checkerboard of 8-pixel squares at the bottom, and a one-pixel grey frame.
Image TestPattern(int width, int height);

/// Captures the visible area of the framebuffer device `device` (16, 24 or 32 bits per pixel,
/// true colour). Returns false with the reason in `error`.
bool CaptureFramebuffer(const std::string& device, Image& image, std::string& error);

/// True when DISPLAY is set and that X11 display opens.
bool DisplayAvailable();
/// Captures the root window of the display named by DISPLAY. Returns false with the reason.
bool CaptureX11(Image& image, std::string& error);

/// Writes `image` as a PNG file at `path`: into a new ".screenshot-XXXXXX" file beside it, synced
/// to disk, then renamed over `path`. On failure nothing is left behind and `error` says why.
bool WritePngFile(const std::string& path, const Image& image, std::string& error);

}  // namespace Coresys
