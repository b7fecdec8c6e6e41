#include "quicklook/picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>

namespace quicklook {

namespace {

// The colour map of the maps and the thumbnail (dark blue-black through red
// to pale yellow), 256 steps.
constexpr std::uint32_t kMapColours[256] = {
    0x000004, 0x010005, 0x010106, 0x010108, 0x02010a, 0x02020c, 0x02020e, 0x030210,
    0x040312, 0x040314, 0x050417, 0x060419, 0x07051b, 0x08051d, 0x09061f, 0x0a0722,
    0x0b0724, 0x0c0826, 0x0d0829, 0x0e092b, 0x10092d, 0x110a30, 0x120a32, 0x140b34,
    0x150b37, 0x160b39, 0x180c3c, 0x190c3e, 0x1b0c41, 0x1c0c43, 0x1e0c45, 0x1f0c48,
    0x210c4a, 0x230c4c, 0x240c4f, 0x260c51, 0x280b53, 0x290b55, 0x2b0b57, 0x2d0b59,
    0x2f0a5b, 0x310a5c, 0x320a5e, 0x340a5f, 0x360961, 0x380962, 0x390963, 0x3b0964,
    0x3d0965, 0x3e0966, 0x400a67, 0x420a68, 0x440a68, 0x450a69, 0x470b6a, 0x490b6a,
    0x4a0c6b, 0x4c0c6b, 0x4d0d6c, 0x4f0d6c, 0x510e6c, 0x520e6d, 0x540f6d, 0x550f6d,
    0x57106e, 0x59106e, 0x5a116e, 0x5c126e, 0x5d126e, 0x5f136e, 0x61136e, 0x62146e,
    0x64156e, 0x65156e, 0x67166e, 0x69166e, 0x6a176e, 0x6c186e, 0x6d186e, 0x6f196e,
    0x71196e, 0x721a6e, 0x741a6e, 0x751b6e, 0x771c6d, 0x781c6d, 0x7a1d6d, 0x7c1d6d,
    0x7d1e6d, 0x7f1e6c, 0x801f6c, 0x82206c, 0x84206b, 0x85216b, 0x87216b, 0x88226a,
    0x8a226a, 0x8c2369, 0x8d2369, 0x8f2469, 0x902568, 0x922568, 0x932667, 0x952667,
    0x972766, 0x982766, 0x9a2865, 0x9b2964, 0x9d2964, 0x9f2a63, 0xa02a63, 0xa22b62,
    0xa32c61, 0xa52c60, 0xa62d60, 0xa82e5f, 0xa92e5e, 0xab2f5e, 0xad305d, 0xae305c,
    0xb0315b, 0xb1325a, 0xb3325a, 0xb43359, 0xb63458, 0xb73557, 0xb93556, 0xba3655,
    0xbc3754, 0xbd3853, 0xbf3952, 0xc03a51, 0xc13a50, 0xc33b4f, 0xc43c4e, 0xc63d4d,
    0xc73e4c, 0xc83f4b, 0xca404a, 0xcb4149, 0xcc4248, 0xce4347, 0xcf4446, 0xd04545,
    0xd24644, 0xd34743, 0xd44842, 0xd54a41, 0xd74b3f, 0xd84c3e, 0xd94d3d, 0xda4e3c,
    0xdb503b, 0xdd513a, 0xde5238, 0xdf5337, 0xe05536, 0xe15635, 0xe25734, 0xe35933,
    0xe45a31, 0xe55c30, 0xe65d2f, 0xe75e2e, 0xe8602d, 0xe9612b, 0xea632a, 0xeb6429,
    0xeb6628, 0xec6726, 0xed6925, 0xee6a24, 0xef6c23, 0xef6e21, 0xf06f20, 0xf1711f,
    0xf1731d, 0xf2741c, 0xf3761b, 0xf37819, 0xf47918, 0xf57b17, 0xf57d15, 0xf67e14,
    0xf68013, 0xf78212, 0xf78410, 0xf8850f, 0xf8870e, 0xf8890c, 0xf98b0b, 0xf98c0a,
    0xf98e09, 0xfa9008, 0xfa9207, 0xfa9407, 0xfb9606, 0xfb9706, 0xfb9906, 0xfb9b06,
    0xfb9d07, 0xfc9f07, 0xfca108, 0xfca309, 0xfca50a, 0xfca60c, 0xfca80d, 0xfcaa0f,
    0xfcac11, 0xfcae12, 0xfcb014, 0xfcb216, 0xfcb418, 0xfbb61a, 0xfbb81d, 0xfbba1f,
    0xfbbc21, 0xfbbe23, 0xfac026, 0xfac228, 0xfac42a, 0xfac62d, 0xf9c72f, 0xf9c932,
    0xf9cb35, 0xf8cd37, 0xf8cf3a, 0xf7d13d, 0xf7d340, 0xf6d543, 0xf6d746, 0xf5d949,
    0xf5db4c, 0xf4dd4f, 0xf4df53, 0xf4e156, 0xf3e35a, 0xf3e55d, 0xf2e661, 0xf2e865,
    0xf2ea69, 0xf1ec6d, 0xf1ed71, 0xf1ef75, 0xf1f179, 0xf2f27d, 0xf2f482, 0xf3f586,
    0xf3f68a, 0xf4f88e, 0xf5f992, 0xf6fa96, 0xf8fb9a, 0xf9fc9d, 0xfafda1, 0xfcffa4,
};

// The maps use every fourth step: 64 levels show the same picture as 256
// and keep it within one 256-colour palette with the text shades.
constexpr int kMapLevels = 64;
// Shades between a text or line colour and its background, counting both.
constexpr int kShades = 8;

constexpr std::uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000, kDarkText = 0x333333, kGrid = 0xD9D9D9,
                        kLimb = 0xA6A6A6, kCentre = 0x737373, kNoChannel = 0xD1D1D1, kOverflow = 0xC8102E,
                        kOverflowFace = 0xFDECEE, kEmpty = 0x808080;
constexpr std::uint32_t kSeries[2] = {0x1F5FA8, 0xD9771E};

constexpr const char* kFont = "DejaVu Sans";
constexpr const char* kValueUnit = "ADC units";
constexpr const char* kOffsetLabel = "arcsec from Sun centre";

// Text sizes in pixels: the smallest (tick labels) is 8 pixels high with
// the picture shown at half its size.
constexpr double kTickPx = 16, kLabelPx = 17, kTitlePx = 18, kHeadingPx = 26;

struct Rect {
    double x, y, w, h;
};

std::uint32_t mapColour(int level) { return kMapColours[std::clamp(level, 0, kMapLevels - 1) * (256 / kMapLevels) + (128 / kMapLevels)]; }

void setColour(cairo_t* cr, std::uint32_t c) {
    cairo_set_source_rgb(cr, ((c >> 16) & 255) / 255.0, ((c >> 8) & 255) / 255.0, (c & 255) / 255.0);
}

void setFont(cairo_t* cr, double size, bool bold) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double textWidth(cairo_t* cr, const std::string& text, double size, bool bold) {
    setFont(cr, size, bold);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

// Draws text with its baseline at y; align 0 puts its start at x, 0.5 its
// middle, 1 its end; angle in radians turns it about (x, y).
void drawText(cairo_t* cr, double x, double y, const std::string& text, double size, bool bold, std::uint32_t colour,
              double align = 0.0, double angle = 0.0) {
    if (text.empty()) return;
    const double width = textWidth(cr, text, size, bold);
    cairo_save(cr);
    // Whole-pixel origins: a text drawn twice gives the same pixels, which
    // the PNG stores once.
    cairo_translate(cr, std::round(x - (angle == 0.0 ? align * width : 0.0)), std::round(y));
    cairo_rotate(cr, angle);
    cairo_move_to(cr, angle == 0.0 ? 0.0 : std::round(-align * width), 0);
    setColour(cr, colour);
    cairo_show_text(cr, text.c_str());
    cairo_restore(cr);
}

// The size, from `size` down to `smallest`, at which text fits `room`
// pixels; text that does not fit even then is cut and ends in "...".
double fitText(cairo_t* cr, std::string& text, double size, double smallest, bool bold, double room) {
    while (size > smallest && textWidth(cr, text, size, bold) > room) size -= 1;
    if (textWidth(cr, text, size, bold) <= room) return size;
    while (text.size() > 3 && textWidth(cr, text + "...", size, bold) > room) {
        text.pop_back();
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
    }
    text += "...";
    return size;
}

void line(cairo_t* cr, double x0, double y0, double x1, double y1, std::uint32_t colour, double width,
          double dash = 0.0) {
    cairo_save(cr);
    setColour(cr, colour);
    cairo_set_line_width(cr, width);
    if (dash > 0) cairo_set_dash(cr, &dash, 1, 0);
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
    cairo_restore(cr);
}

void fillRect(cairo_t* cr, Rect r, std::uint32_t colour) {
    setColour(cr, colour);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_fill(cr);
}

void frame(cairo_t* cr, Rect r, std::uint32_t colour, double width) {
    cairo_save(cr);
    setColour(cr, colour);
    cairo_set_line_width(cr, width);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_stroke(cr);
    cairo_restore(cr);
}

// Round tick values between lo and hi, at most about maxTicks of them.
std::vector<double> niceTicks(double lo, double hi, int maxTicks) {
    if (!(hi > lo) || !std::isfinite(lo) || !std::isfinite(hi)) return {};
    const double raw = (hi - lo) / maxTicks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * magnitude;
    for (double s : {1.0, 2.0, 2.5, 5.0})
        if (s * magnitude >= raw) {
            step = s * magnitude;
            break;
        }
    std::vector<double> ticks;
    for (double k = std::ceil(lo / step - 1e-9); k * step <= hi + 1e-9 * step && ticks.size() < 50; k += 1) {
        const double v = k * step;
        ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

// Tick label: 12k for 12000 so that wide values fit a small panel.
std::string tickLabel(double v) {
    char text[32];
    if (std::fabs(v) >= 10000)
        std::snprintf(text, sizeof text, "%gk", v / 1000);
    else
        std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string format(const char* pattern, double a) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a);
    return text;
}

// Columns and rows of the panel grid for n channels.
void gridShape(long n, long& cols, long& rows) {
    if (n <= 1) {
        cols = rows = 1;
    } else if (n <= 3) {
        cols = n;
        rows = 1;
    } else if (n <= 4) {
        cols = rows = 2;
    } else {
        cols = std::min(8L, std::max(3L, static_cast<long>(std::ceil(std::sqrt(static_cast<double>(n) * 1.6)))));
        rows = (n + cols - 1) / cols;
    }
}

// The scan's horizontal extent in arcsec, lowest offset first.
void offsetRange(const Scan& s, double& lo, double& hi) {
    lo = s.offset(0);
    hi = s.offset(static_cast<double>(std::max(0L, s.npix - 1)));
    if (lo > hi) std::swap(lo, hi);
    if (!(hi > lo)) {
        lo -= std::fabs(s.cdelt) / 2;
        hi += std::fabs(s.cdelt) / 2;
    }
}

// Draws one series in the plot rectangle: every point where there are few,
// else the lowest and highest value of each pixel column.
void drawSeries(cairo_t* cr, const Scan& s, long c, int series, Rect plot, double xlo, double xhi, double ylo,
                double yhi, std::uint32_t colour, double width) {
    const auto px = [&](double off) { return plot.x + (off - xlo) / (xhi - xlo) * plot.w; };
    const auto py = [&](double v) { return plot.y + plot.h - (v - ylo) / (yhi - ylo) * plot.h; };
    cairo_save(cr);
    cairo_rectangle(cr, plot.x, plot.y, plot.w, plot.h);
    cairo_clip(cr);
    setColour(cr, colour);
    cairo_set_line_width(cr, width);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    // Unsmoothed lines: two colours instead of a shade per edge pixel, which
    // keeps a noisy panel a small part of the PNG.
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    const long columns = std::max(1L, static_cast<long>(plot.w));
    if (s.npix <= 2 * columns) {
        for (long p = 0; p < s.npix; ++p) {
            const double x = px(s.offset(static_cast<double>(p))), y = py(s.value(c, series, p));
            if (p == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
        }
    } else {
        long column = -1;
        float lo = 0, hi = 0;
        bool lowFirst = true, started = false;
        const auto emit = [&]() {
            const double x = plot.x + column + 0.5;
            const double a = py(lowFirst ? lo : hi), b = py(lowFirst ? hi : lo);
            if (!started) {
                cairo_move_to(cr, x, a);
                started = true;
            } else {
                cairo_line_to(cr, x, a);
            }
            cairo_line_to(cr, x, b);
        };
        for (long p = 0; p < s.npix; ++p) {
            const double x = (s.offset(static_cast<double>(p)) - xlo) / (xhi - xlo) * plot.w;
            const long col = std::clamp(static_cast<long>(x), 0L, columns - 1);
            const float v = s.value(c, series, p);
            if (col != column) {
                if (column >= 0) emit();
                column = col;
                lo = hi = v;
                lowFirst = true;
            } else {
                if (v < lo) {
                    lo = v;
                    lowFirst = false;
                }
                if (v > hi) {
                    hi = v;
                    lowFirst = true;
                }
            }
        }
        if (column >= 0) emit();
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

void drawSunMarks(cairo_t* cr, const Scan& s, Rect plot, double xlo, double xhi, std::uint32_t centre,
                  std::uint32_t limb) {
    const auto px = [&](double off) { return plot.x + (off - xlo) / (xhi - xlo) * plot.w; };
    cairo_save(cr);
    cairo_rectangle(cr, plot.x, plot.y, plot.w, plot.h);
    cairo_clip(cr);
    if (0 >= xlo && 0 <= xhi) line(cr, px(0), plot.y, px(0), plot.y + plot.h, centre, 1.0, 2.0);
    if (s.solarR > 0)
        for (double x : {-s.solarR, s.solarR})
            if (x >= xlo && x <= xhi) line(cr, px(x), plot.y, px(x), plot.y + plot.h, limb, 1.0, 6.0);
    cairo_restore(cr);
}

void drawPanel(cairo_t* cr, const Scan& s, long c, Rect plot, double xlo, double xhi, bool small, bool labelX,
               bool labelY) {
    const bool over = s.overflow[static_cast<size_t>(c)];
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (int series = 0; series < 2; ++series)
        for (long p = 0; p < s.npix; ++p) {
            const float v = s.value(c, series, p);
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
    double ylo = lo, yhi = hi;
    if (!(yhi > ylo)) {
        ylo = std::isfinite(ylo) ? ylo - 1 : -1;
        yhi = ylo + 2;
    }
    const double pad = (yhi - ylo) * 0.05;
    ylo -= pad;
    yhi += pad;
    const auto px = [&](double off) { return plot.x + (off - xlo) / (xhi - xlo) * plot.w; };
    const auto py = [&](double v) { return plot.y + plot.h - (v - ylo) / (yhi - ylo) * plot.h; };

    if (over) fillRect(cr, plot, kOverflowFace);
    const std::vector<double> yTicks = niceTicks(ylo, yhi, small ? 3 : 5);
    const std::vector<double> xTicks = niceTicks(xlo, xhi, small ? 4 : 6);
    for (double t : yTicks) {
        const double y = std::round(py(t)) + 0.5;
        line(cr, plot.x, y, plot.x + plot.w, y, kGrid, 1.0);
        drawText(cr, plot.x - 5, y + kTickPx * 0.35, tickLabel(t), kTickPx, false, kBlack, 1.0);
    }
    for (double t : xTicks) {
        const double x = std::round(px(t)) + 0.5;
        line(cr, x, plot.y, x, plot.y + plot.h, kGrid, 1.0);
        if (labelX) drawText(cr, x, plot.y + plot.h + kTickPx + 3, tickLabel(t), kTickPx, false, kBlack, 0.5);
    }
    drawSunMarks(cr, s, plot, xlo, xhi, kCentre, kLimb);
    for (int series = 0; series < 2; ++series)
        drawSeries(cr, s, c, series, plot, xlo, xhi, ylo, yhi, kSeries[series], small ? 1.0 : 1.3);
    if (over)
        frame(cr, Rect{plot.x - 0.5, plot.y - 0.5, plot.w + 1, plot.h + 1}, kOverflow, 2.5);
    else
        frame(cr, Rect{std::round(plot.x) - 0.5, std::round(plot.y) - 0.5, std::round(plot.w) + 1,
                       std::round(plot.h) + 1},
              kBlack, 1.0);
    std::string title = format("%.2f GHz", s.freqs[static_cast<size_t>(c)]);
    const double wanted = small ? kLabelPx : kTitlePx;
    if (over) {
        // The word beside the frequency where it fits, else inside the frame.
        if (textWidth(cr, title + "  OVERFLOW", kTickPx, true) <= plot.w + 30)
            title += "  OVERFLOW";
        else
            drawText(cr, plot.x + plot.w - 4, plot.y + kTickPx + 2, "OVERFLOW", kTickPx, true, kOverflow, 1.0);
    }
    const double titleSize = fitText(cr, title, wanted, kTickPx, over, plot.w + 30);
    drawText(cr, plot.x + plot.w / 2, plot.y - 6, title, titleSize, over, over ? kOverflow : kBlack, 0.5);
    if (labelX && textWidth(cr, kOffsetLabel, kLabelPx, false) < plot.w + 30)
        drawText(cr, plot.x + plot.w / 2, plot.y + plot.h + 2 * kTickPx + 8, kOffsetLabel, kLabelPx, false, kBlack,
                 0.5);
    if (labelY)
        drawText(cr, plot.x - 52, plot.y + plot.h / 2, kValueUnit, kLabelPx, false, kBlack, 0.5, -M_PI / 2);
}

// Lower and upper edge of each channel's row on the frequency axis: halfway
// to its neighbours, except across a gap of more than one and a half usual
// channel spacings (channels missing from the file), where the row stops
// half a usual spacing from its channel and the gap stays visible.
void frequencyCells(const std::vector<double>& f, std::vector<double>& lows, std::vector<double>& highs) {
    const size_t n = f.size();
    lows.assign(n, 0);
    highs.assign(n, 0);
    if (n == 1) {
        lows[0] = f[0] - 0.25;
        highs[0] = f[0] + 0.25;
        return;
    }
    std::vector<double> gaps;
    for (size_t i = 0; i + 1 < n; ++i)
        if (f[i + 1] - f[i] > 0) gaps.push_back(f[i + 1] - f[i]);
    double usual = 1.0;
    if (!gaps.empty()) {
        std::vector<double> sorted = gaps;
        std::sort(sorted.begin(), sorted.end());
        const size_t m = sorted.size();
        usual = m % 2 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) / 2;
    }
    for (size_t i = 0; i < n; ++i) {
        const double below = i == 0 ? usual : f[i] - f[i - 1];
        const double above = i + 1 == n ? usual : f[i + 1] - f[i];
        lows[i] = f[i] - (i > 0 && below > 1.5 * usual ? usual : below) / 2;
        highs[i] = f[i] + (i + 1 < n && above > 1.5 * usual ? usual : above) / 2;
    }
}

// The 1st and 99.5th percentile of the scan's finite values, from a sample
// of at most about 60,000 of them (evenly spread over channels and pixels).
void valueRange(const Scan& s, double& vmin, double& vmax) {
    std::vector<float> sample;
    const size_t step = std::max<size_t>(1, s.values.size() / 60000);
    sample.reserve(s.values.size() / step + 1);
    for (size_t i = 0; i < s.values.size(); i += step)
        if (std::isfinite(s.values[i])) sample.push_back(s.values[i]);
    vmin = 0;
    vmax = 1;
    if (!sample.empty()) {
        const auto at = [&](double q) {
            const auto k = static_cast<size_t>(q * static_cast<double>(sample.size() - 1));
            std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(k), sample.end());
            return static_cast<double>(sample[k]);
        };
        vmin = at(0.01);
        vmax = at(0.995);
    }
    if (!(vmax > vmin)) vmax = vmin + 1;
}

// Fills r of the surface with the map of one series: one row per pixel row,
// the channel whose frequency cell holds it, or grey where none does.
void paintMap(cairo_surface_t* surface, const Scan& s, int series, Rect r, const std::vector<long>& rowChannel,
              double xlo, double xhi, double vmin, double vmax) {
    const int x0 = static_cast<int>(r.x), y0 = static_cast<int>(r.y);
    const int w = static_cast<int>(r.w), h = static_cast<int>(r.h);
    // Each column's pixel range along the scan.
    std::vector<long> first(static_cast<size_t>(w)), last(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) {
        const double a = xlo + (xhi - xlo) * x / w, b = xlo + (xhi - xlo) * (x + 1) / w;
        double pa = s.crpix0 + a / s.cdelt, pb = s.crpix0 + b / s.cdelt;
        if (pa > pb) std::swap(pa, pb);
        long p0 = static_cast<long>(std::floor(pa + 0.5)), p1 = static_cast<long>(std::floor(pb + 0.5));
        p0 = std::clamp(p0, 0L, s.npix - 1);
        p1 = std::clamp(std::max(p1 - 1, p0), 0L, s.npix - 1);
        first[static_cast<size_t>(x)] = p0;
        last[static_cast<size_t>(x)] = p1;
    }
    std::vector<std::uint32_t> rows(static_cast<size_t>(s.nchan) * static_cast<size_t>(w));
    for (long c = 0; c < s.nchan; ++c)
        for (int x = 0; x < w; ++x) {
            double sum = 0;
            long n = 0;
            for (long p = first[static_cast<size_t>(x)]; p <= last[static_cast<size_t>(x)]; ++p) {
                const float v = s.value(c, series, p);
                if (std::isfinite(v)) {
                    sum += v;
                    ++n;
                }
            }
            const double v = n ? sum / static_cast<double>(n) : vmin;
            const int level = static_cast<int>((v - vmin) / (vmax - vmin) * kMapLevels);
            rows[static_cast<size_t>(c) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
                0xFF000000u | mapColour(level);
        }
    cairo_surface_flush(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const std::vector<std::uint32_t> grey(static_cast<size_t>(w), 0xFF000000u | kNoChannel);
    for (int y = 0; y < h; ++y) {
        const long c = rowChannel[static_cast<size_t>(y)];
        const std::uint32_t* source = c < 0 ? grey.data() : rows.data() + static_cast<size_t>(c) * static_cast<size_t>(w);
        std::memcpy(data + static_cast<size_t>(y0 + y) * static_cast<size_t>(stride) + static_cast<size_t>(x0) * 4,
                    source, static_cast<size_t>(w) * 4);
    }
    cairo_surface_mark_dirty(surface);
}

void triangle(cairo_t* cr, double tipX, double y, double size, std::uint32_t colour) {
    setColour(cr, colour);
    cairo_move_to(cr, tipX, y);
    cairo_line_to(cr, tipX - size, y - size * 0.6);
    cairo_line_to(cr, tipX - size, y + size * 0.6);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void drawMaps(cairo_t* cr, cairo_surface_t* surface, const Scan& s, Rect area) {
    double xlo = 0, xhi = 0, vmin = 0, vmax = 1;
    offsetRange(s, xlo, xhi);
    valueRange(s, vmin, vmax);
    const double left = 100, gap = 28, barW = 22, right = 118;
    const double top = 40, bottom = 2 * kTickPx + 22;
    double mapW = std::floor((area.w - left - gap - 24 - barW - right) / 2);
    // Fewer pixels along the scan than map columns: each pixel gets the same
    // whole number of columns (sharp cells, and runs the PNG stores cheaply).
    if (s.npix > 0 && s.npix < mapW) mapW = std::floor(mapW / static_cast<double>(s.npix)) * static_cast<double>(s.npix);
    const double mapH = std::floor(area.h - top - bottom);
    const Rect maps[2] = {{std::floor(area.x + left), std::floor(area.y + top), mapW, mapH},
                          {std::floor(area.x + left) + mapW + gap, std::floor(area.y + top), mapW, mapH}};

    bool ascending = true;
    for (long c = 0; c < s.nchan; ++c) {
        const double f = s.freqs[static_cast<size_t>(c)];
        if (!std::isfinite(f) || (c > 0 && !(f > s.freqs[static_cast<size_t>(c - 1)]))) ascending = false;
    }
    std::vector<double> lows, highs;
    if (ascending) {
        frequencyCells(s.freqs, lows, highs);
    } else {  // one row per plane in file order, labelled with its frequency
        for (long c = 0; c < s.nchan; ++c) {
            lows.push_back(static_cast<double>(c) - 0.5);
            highs.push_back(static_cast<double>(c) + 0.5);
        }
    }
    const double flo = lows.front(), fhi = highs.back();
    const auto py = [&](double f) { return maps[0].y + maps[0].h - (f - flo) / (fhi - flo) * maps[0].h; };
    std::vector<long> rowChannel(static_cast<size_t>(mapH), -1);
    bool gaps = false;
    for (size_t y = 0; y < rowChannel.size(); ++y) {
        const double f = fhi - (static_cast<double>(y) + 0.5) / mapH * (fhi - flo);
        const auto it = std::upper_bound(lows.begin(), lows.end(), f);
        if (it != lows.begin()) {
            const auto c = static_cast<size_t>(it - lows.begin() - 1);
            if (f < highs[c]) rowChannel[y] = static_cast<long>(c);
        }
        if (rowChannel[y] < 0) gaps = true;
    }
    const bool anyOverflow = std::find(s.overflow.begin(), s.overflow.end(), true) != s.overflow.end();

    for (int series = 0; series < 2; ++series) {
        const Rect m = maps[series];
        paintMap(surface, s, series, m, rowChannel, xlo, xhi, vmin, vmax);
        const auto px = [&](double off) { return m.x + (off - xlo) / (xhi - xlo) * m.w; };
        if (s.solarR > 0)
            for (double x : {-s.solarR, 0.0, s.solarR})
                if (x >= xlo && x <= xhi) line(cr, px(x), m.y, px(x), m.y + m.h, kWhite, 1.0, x == 0 ? 2.0 : 6.0);
        frame(cr, Rect{m.x - 0.5, m.y - 0.5, m.w + 1, m.h + 1}, kBlack, 1.0);
        for (double t : niceTicks(xlo, xhi, 6)) {
            const double x = std::round(px(t)) + 0.5;
            line(cr, x, m.y + m.h, x, m.y + m.h + 5, kBlack, 1.0);
            drawText(cr, x, m.y + m.h + kTickPx + 6, tickLabel(t), kTickPx, false, kBlack, 0.5);
        }
        drawText(cr, m.x + m.w / 2, m.y + m.h + 2 * kTickPx + 14, kOffsetLabel, kLabelPx, false, kBlack, 0.5);
        drawText(cr, m.x + m.w / 2, m.y - 12, s.seriesNames[series] + ": all channels", kTitlePx + 1, true, kBlack,
                 0.5);
        for (long c = 0; c < s.nchan; ++c)
            if (s.overflow[static_cast<size_t>(c)])
                triangle(cr, m.x - 1, py((lows[static_cast<size_t>(c)] + highs[static_cast<size_t>(c)]) / 2), 10,
                         kOverflow);
        // Keys above the map's left corner.
        double keyX = m.x;
        if (gaps) {
            fillRect(cr, Rect{keyX, m.y - 28, 14, 14}, kNoChannel);
            drawText(cr, keyX + 19, m.y - 15, "no channel", kTickPx, false, kBlack);
            keyX += 24 + textWidth(cr, "no channel", kTickPx, false) + 14;
        }
        if (anyOverflow) {
            triangle(cr, keyX + 12, m.y - 21, 10, kOverflow);
            drawText(cr, keyX + 17, m.y - 15, "overflow", kTickPx, false, kBlack);
        }
    }
    // Frequency axis, labelled once on the left.
    const Rect& m = maps[0];
    if (ascending) {
        for (double t : niceTicks(flo, fhi, std::max(2, static_cast<int>(mapH / 45)))) {
            const double y = std::round(py(t)) + 0.5;
            line(cr, m.x - 5, y, m.x, y, kBlack, 1.0);
            drawText(cr, m.x - 8, y + kTickPx * 0.35, tickLabel(t), kTickPx, false, kBlack, 1.0);
        }
        drawText(cr, m.x - 62, m.y + m.h / 2, "frequency, GHz", kLabelPx, false, kBlack, 0.5, -M_PI / 2);
    } else {
        const long step = std::max(1L, static_cast<long>(std::ceil(s.nchan / std::max(1.0, mapH / 26))));
        for (long c = 0; c < s.nchan; c += step) {
            const double y = std::round(py(static_cast<double>(c))) + 0.5;
            line(cr, m.x - 5, y, m.x, y, kBlack, 1.0);
            drawText(cr, m.x - 8, y + kTickPx * 0.35, format("%.2f", s.freqs[static_cast<size_t>(c)]), kTickPx, false,
                     kBlack, 1.0);
        }
        drawText(cr, m.x - 72, m.y + m.h / 2, "frequency, GHz (file order)", kLabelPx, false, kBlack, 0.5, -M_PI / 2);
    }
    // Colour bar.
    const Rect bar{maps[1].x + mapW + 24, m.y, barW, mapH};
    for (int level = 0; level < kMapLevels; ++level) {
        const double y0 = bar.y + bar.h - (level + 1) * bar.h / kMapLevels;
        fillRect(cr, Rect{bar.x, std::floor(y0), bar.w, std::ceil(bar.h / kMapLevels) + 1}, mapColour(level));
    }
    frame(cr, Rect{bar.x - 0.5, bar.y - 0.5, bar.w + 1, bar.h + 1}, kBlack, 1.0);
    for (double t : niceTicks(vmin, vmax, 6)) {
        const double y = std::round(bar.y + bar.h - (t - vmin) / (vmax - vmin) * bar.h) + 0.5;
        line(cr, bar.x + bar.w, y, bar.x + bar.w + 5, y, kBlack, 1.0);
        drawText(cr, bar.x + bar.w + 8, y + kTickPx * 0.35, tickLabel(t), kTickPx, false, kBlack);
    }
    drawText(cr, bar.x + bar.w + 92, bar.y + bar.h / 2, kValueUnit, kLabelPx, false, kBlack, 0.5, M_PI / 2);
}

std::string joinFlags(const std::vector<std::string>& flags) {
    std::string out;
    for (const std::string& f : flags) out += (out.empty() ? "" : ", ") + f;
    return out;
}

void drawHeading(cairo_t* cr, const Scan& s, const std::vector<std::string>& flags, double width, bool legend) {
    const size_t slash = s.path.find_last_of('/');
    const std::string name = slash == std::string::npos ? s.path : s.path.substr(slash + 1);
    std::string heading = plainText(s.object + "   " + utDate(s.date, s.time, s.start) + " " + s.time + " UT   " + name);
    std::string flagText = flags.empty() ? "" : "   flags: " + plainText(joinFlags(flags));
    const double legendW = legend ? 300 : 0;
    const double room = width - 28 - legendW;
    double size = kHeadingPx;
    while (size > kTitlePx && textWidth(cr, heading + flagText, size, true) > room) size -= 1;
    const double flagW = textWidth(cr, flagText, size, true);
    size = fitText(cr, heading, size, kTitlePx, true, std::max(100.0, room - flagW));
    drawText(cr, 14, 34, heading, size, true, kBlack);
    if (!flagText.empty())
        drawText(cr, 14 + textWidth(cr, heading, size, true), 34, flagText, size, true, kOverflow);

    std::string sub;
    if (!s.start.empty() || !s.stop.empty()) sub = "recording " + s.start + " - " + s.stop + " local time   |   ";
    char geometry[160];
    std::snprintf(geometry, sizeof geometry, "%ld x 2 x %ld, %.3f arcsec/pixel   |   ", s.npix, s.nchan, s.cdelt);
    sub += geometry;
    char note[96];
    if (s.standard)
        std::snprintf(note, sizeof note, "values in %s (standard layout, BSCALE %g)", kValueUnit, s.bscale);
    else
        std::snprintf(note, sizeof note, "values in %s (default layout, stored x100)", kValueUnit);
    sub = plainText(sub + note);
    const double subSize = fitText(cr, sub, kLabelPx, kTickPx, false, width - 28);
    drawText(cr, 14, 66, sub, subSize, false, kDarkText);

    if (legend) {
        double x = width - 14;
        for (int series = 1; series >= 0; --series) {
            const std::string label = "series " + s.seriesNames[series];
            x -= textWidth(cr, label, kLabelPx, false);
            drawText(cr, x, 32, label, kLabelPx, false, kBlack);
            line(cr, x - 38, 26, x - 8, 26, kSeries[series], 3.5);
            x -= 56;
        }
    }
}

std::vector<std::uint32_t> pictureColours() {
    std::vector<std::uint32_t> colours = {kWhite,  kBlack,    kDarkText, kGrid,       kLimb,      kCentre,
                                          kNoChannel, kOverflow, kOverflowFace, kSeries[0], kSeries[1], kEmpty};
    for (int level = 0; level < kMapLevels; ++level) colours.push_back(mapColour(level));
    // The edge shades of text and lines on their backgrounds.
    const auto blend = [](std::uint32_t a, std::uint32_t b, int k) {
        std::uint32_t out = 0;
        for (int shift = 0; shift <= 16; shift += 8) {
            const int ca = static_cast<int>((a >> shift) & 255), cb = static_cast<int>((b >> shift) & 255);
            out |= static_cast<std::uint32_t>((ca * (kShades - k) + cb * k + kShades / 2) / kShades) << shift;
        }
        return out;
    };
    const std::uint32_t pairs[][2] = {{kBlack, kWhite},     {kDarkText, kWhite}, {kOverflow, kWhite},
                                      {kOverflow, kOverflowFace}, {kSeries[0], kWhite}, {kSeries[1], kWhite},
                                      {kLimb, kWhite},      {kCentre, kWhite}};
    for (const auto& pair : pairs)
        for (int k = 1; k < kShades; ++k) colours.push_back(blend(pair[0], pair[1], k));
    return colours;
}

// Unsmoothed text fully fitted to the pixel grid: one colour per glyph, so
// the text costs a third fewer PNG bytes than grey-smoothed text, and the
// hinted strokes stay sharp at full size and legible at half size.
void useCrispText(cairo_t* cr) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_NONE);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_FULL);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

Drawing newDrawing(int width, int height) {
    Drawing d;
    d.surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (cairo_surface_status(d.surface) != CAIRO_STATUS_SUCCESS)
        throw QuicklookError{"cannot draw a picture of " + std::to_string(width) + " x " + std::to_string(height) +
                             " pixels (" + cairo_status_to_string(cairo_surface_status(d.surface)) + ")"};
    return d;
}

}  // namespace

Drawing drawPicture(const Scan& s, const std::vector<std::string>& flags) {
    if (s.nchan == 0 || s.npix == 0) {
        Drawing d = newDrawing(1400, 500);
        cairo_t* cr = cairo_create(d.surface);
        fillRect(cr, Rect{0, 0, 1400, 500}, kWhite);
        drawHeading(cr, s, flags, 1400, false);
        drawText(cr, 700, 230, s.nchan == 0 ? "No accepted channel in this file" : "No pixel along the scan", 30,
                 false, kDarkText, 0.5);
        drawText(cr, 700, 272, s.nchan == 0 ? "(NAXIS3 = 0)" : "(NAXIS1 = 0)", 30, false, kDarkText, 0.5);
        char text[160];
        std::snprintf(text, sizeof text, "%ld pixels along the scan, Sun centre at pixel %.2f (from 0), %.3f arcsec/pixel",
                      s.npix, s.crpix0, s.cdelt);
        drawText(cr, 700, 410, text, kLabelPx, false, kDarkText, 0.5);
        cairo_destroy(cr);
        d.colours = pictureColours();
        return d;
    }
    long cols = 1, rows = 1;
    gridShape(s.nchan, cols, rows);
    const bool small = s.nchan > 4;
    // Small panels 104 pixels high: with 3 value ticks that is room enough,
    // and their noisy lines are the largest part of the PNG.
    const double cellW = small ? 196 : 600, cellH = small ? 104 : 330;
    const double left = 84, right = 16, headingH = 96;
    const int width = static_cast<int>(std::max(1300.0, left + cols * cellW + right));
    const double panelsH = rows * cellH + 2 * kTickPx + 12;
    const double mapsH = s.nchan > 1 ? 400 : 300;
    const int height = static_cast<int>(headingH + panelsH + 30 + mapsH);
    Drawing d = newDrawing(width, height);
    cairo_t* cr = cairo_create(d.surface);
    useCrispText(cr);
    fillRect(cr, Rect{0, 0, static_cast<double>(width), static_cast<double>(height)}, kWhite);
    drawHeading(cr, s, flags, width, true);

    double xlo = 0, xhi = 0;
    offsetRange(s, xlo, xhi);
    const double gridW = width - left - right;
    const double panelW = gridW / static_cast<double>(cols);
    for (long c = 0; c < s.nchan; ++c) {
        const long col = c % cols, row = c / cols;
        const double x = left + col * panelW, y = headingH + row * cellH;
        const Rect plot{std::round(x + (small ? 48 : 40)), std::round(y + 28), std::round(panelW - (small ? 58 : 60)),
                        std::round(cellH - (small ? 42 : 50))};
        drawPanel(cr, s, c, plot, xlo, xhi, small, c + cols >= s.nchan, col == 0);
    }
    // Panels too narrow for the axis name under each column get it once.
    if (textWidth(cr, kOffsetLabel, kLabelPx, false) >= panelW - (small ? 58 : 60) + 30)
        drawText(cr, left + gridW / 2, headingH + panelsH - 2, kOffsetLabel, kLabelPx, false, kBlack, 0.5);
    drawMaps(cr, d.surface, s, Rect{0, headingH + panelsH + 30, static_cast<double>(width), mapsH});
    const cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status != CAIRO_STATUS_SUCCESS) throw QuicklookError{std::string("cannot draw: ") + cairo_status_to_string(status)};
    d.colours = pictureColours();
    return d;
}

std::uint32_t thumbnailColour(double excess) {
    if (!(excess > kThumbnailFloor)) return kMapColours[0];
    const double t = std::log(excess / kThumbnailFloor) / std::log(kThumbnailCeiling / kThumbnailFloor);
    return kMapColours[std::clamp(static_cast<int>(std::lround(t * 255)), 0, 255)];
}

Drawing drawThumbnail(const Scan& s) {
    const int w = kThumbnailWidth, h = kThumbnailHeight;
    Drawing d = newDrawing(w, h);
    std::vector<std::uint32_t> pixels(static_cast<size_t>(w) * h, 0xFF000000u | kEmpty);
    if (s.nchan > 0 && s.npix > 0) {
        std::vector<long> order(static_cast<size_t>(s.nchan));
        std::iota(order.begin(), order.end(), 0L);
        if (std::all_of(s.freqs.begin(), s.freqs.end(), [](double f) { return std::isfinite(f); }))
            std::stable_sort(order.begin(), order.end(),
                             [&](long a, long b) { return s.freqs[static_cast<size_t>(a)] < s.freqs[static_cast<size_t>(b)]; });
        std::vector<std::uint32_t> rowColours(static_cast<size_t>(s.nchan) * w);
        std::vector<double> mean(static_cast<size_t>(s.npix)), sorted;
        for (long k = 0; k < s.nchan; ++k) {
            const long c = order[static_cast<size_t>(k)];
            for (long p = 0; p < s.npix; ++p)
                mean[static_cast<size_t>(p)] = (static_cast<double>(s.value(c, 0, p)) + s.value(c, 1, p)) / 2;
            sorted = mean;
            const auto q = static_cast<std::ptrdiff_t>(0.2 * static_cast<double>(sorted.size() - 1));
            std::nth_element(sorted.begin(), sorted.begin() + q, sorted.end());
            const double sky = sorted[static_cast<size_t>(q)];
            for (int x = 0; x < w; ++x) {
                double v = 0;
                if (s.npix >= w) {
                    const long p0 = x * s.npix / w, p1 = (x + 1) * s.npix / w;
                    for (long p = p0; p < p1; ++p) v += mean[static_cast<size_t>(p)];
                    v /= static_cast<double>(p1 - p0);
                } else {
                    v = mean[static_cast<size_t>(x * s.npix / w)];
                }
                rowColours[static_cast<size_t>(k) * w + static_cast<size_t>(x)] = 0xFF000000u | thumbnailColour(v - sky);
            }
        }
        for (int y = 0; y < h; ++y) {
            const long k = static_cast<long>(h - 1 - y) * s.nchan / h;
            std::memcpy(pixels.data() + static_cast<size_t>(y) * w, rowColours.data() + static_cast<size_t>(k) * w,
                        static_cast<size_t>(w) * 4);
        }
    }
    cairo_surface_flush(d.surface);
    unsigned char* data = cairo_image_surface_get_data(d.surface);
    const int stride = cairo_image_surface_get_stride(d.surface);
    for (int y = 0; y < h; ++y)
        std::memcpy(data + static_cast<size_t>(y) * static_cast<size_t>(stride), pixels.data() + static_cast<size_t>(y) * w,
                    static_cast<size_t>(w) * 4);
    cairo_surface_mark_dirty(d.surface);
    d.colours.assign(std::begin(kMapColours), std::end(kMapColours));
    return d;
}

}  // namespace quicklook
