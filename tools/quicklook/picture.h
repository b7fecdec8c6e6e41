// The quick-look picture and thumbnail of a scan, drawn with cairo.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "quicklook/scan.h"

namespace quicklook {

// A drawn picture and the colours it is made of (for its palette).
struct Drawing {
    cairo_surface_t* surface = nullptr;
    std::vector<std::uint32_t> colours;
    Drawing() = default;
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;
    Drawing(Drawing&& other) noexcept : surface(other.surface), colours(std::move(other.colours)) {
        other.surface = nullptr;
    }
    ~Drawing() {
        if (surface) cairo_surface_destroy(surface);
    }
};

constexpr int kThumbnailWidth = 320;
constexpr int kThumbnailHeight = 160;

// Thumbnail scale, the same for every scan of an archive: a channel's
// excess over its sky level, logarithmic from kThumbnailFloor (dark) to
// kThumbnailCeiling (brightest), in ADC units.
constexpr double kThumbnailFloor = 10.0;
constexpr double kThumbnailCeiling = 2000.0;

// Purpose: the quick-look picture of a scan.
// Given: the scan and the quality flag names for the heading (none: no flag
//   text).
// Returned: the drawing: one panel per channel (both series against arcsec
//   from the Sun's centre, limb marks, frequency titles, overflow framed in
//   red), the two series of all channels as maps of frequency against
//   position with a colour bar, the heading (object, UT date and time, file
//   name, flags) and the line with the local start/stop, image size, pixel
//   size and storage.
// Notes: a scan without channels gets the heading and a note; the picture
//   size follows the channel count (about 1300 to 2000 pixels wide).
Drawing drawPicture(const Scan& scan, const std::vector<std::string>& flags);

// Purpose: the 320 x 160 thumbnail of a scan.
// Returned: both series' mean per channel, highest frequency on top, each
//   channel's excess over its sky level (its 20th-percentile value along the
//   scan) on the fixed logarithmic scale above; grey for a scan without
//   channels or pixels.
Drawing drawThumbnail(const Scan& scan);

// Purpose: the colour of a thumbnail pixel for an excess over the sky level.
// Returned: 0xRRGGBB; black at or below kThumbnailFloor, the brightest
//   colour at or above kThumbnailCeiling; NaN is black.
std::uint32_t thumbnailColour(double excess);

}  // namespace quicklook
