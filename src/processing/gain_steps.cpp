#include "processing/gain_steps.h"

#include <cstdio>

namespace skanvert {

void correctGainStep(double* v, std::int64_t count, std::int64_t j, std::string& lines) {
    if (j < 2 || j + 3 > count - 1) return;
    const double den = 4 * v[j + 1] + v[j + 2] - 3 * v[j + 3];
    if (den == 0) return;
    const double koeff = (v[j - 2] + v[j - 1]) / den;
    // "%f" of a double is at most 317 characters long.
    char line[400];
    std::snprintf(line, sizeof line, "\n\tjj=%d amp koeff=%f", static_cast<int>(j), koeff);
    lines += line;
    for (std::int64_t i = j + 1; i < count; ++i) v[i] *= koeff;
    v[j] = (v[j - 1] + v[j + 1]) * 0.5;
}

void detectGainSteps(const PixelStatus& status, int channel, int n, int shift, double* series1, double* series2,
                     std::int64_t pixels, std::string& lines) {
    const auto word = static_cast<size_t>(channel / 10);
    const std::int64_t q = shift / n;
    for (std::int64_t d = 1; d < pixels; ++d) {
        const std::int16_t here = status.first[static_cast<size_t>(d)][word];
        if (here != status.last[static_cast<size_t>(d - 1)][word] || here != status.last[static_cast<size_t>(d)][word]) {
            correctGainStep(series1, pixels, d - q, lines);
            correctGainStep(series2, pixels, d + q, lines);
        }
    }
}

}  // namespace skanvert
