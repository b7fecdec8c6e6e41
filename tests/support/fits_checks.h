// Structural checks of a FITS file the program wrote, independent of its
// values: whole 2880-byte blocks, headers of printable cards ending in END,
// numbers within columns 11-30 and finite, and data units whose lengths the
// BITPIX and NAXISn cards give.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

// Returns a description of the first problem, or an empty text.
inline std::string fitsStructureProblem(const std::vector<unsigned char>& bytes) {
    if (bytes.empty() || bytes.size() % 2880 != 0) return "length is not whole 2880-byte blocks";
    size_t pos = 0;
    for (const char* unit : {"primary", "extension"}) {
        long long bitpix = 0;
        long long naxis[4] = {0, 1, 1, 1};
        int axes = 0;
        for (bool ended = false; !ended;) {
            if (pos + 80 > bytes.size()) return std::string(unit) + " header has no END";
            const std::string card(reinterpret_cast<const char*>(&bytes[pos]), 80);
            pos += 80;
            for (const char c : card) {
                if (c < ' ' || c > '~') return std::string(unit) + " card with a non-printable byte: " + card;
            }
            const std::string key = card.substr(0, card.substr(0, 8).find_last_not_of(' ') + 1);
            if (key == "END") ended = true;
            if (card[8] != '=' || card[10] == '\'') continue;
            const std::string field = card.substr(10, 20);
            if (card[30] != ' ') return "number beyond column 30: " + card;
            char* end = nullptr;
            const double value = std::strtod(field.c_str(), &end);
            if (key != "SIMPLE" && key != "EXTEND" && (end == field.c_str() || !std::isfinite(value))) {
                return "card without a finite number: " + card;
            }
            if (key == "BITPIX") bitpix = static_cast<long long>(value);
            if (key == "NAXIS") axes = static_cast<int>(value);
            for (int axis = 1; axis <= 3; ++axis) {
                if (key == "NAXIS" + std::to_string(axis)) naxis[axis] = static_cast<long long>(value);
            }
        }
        if (axes < 1 || axes > 3) return std::string(unit) + " NAXIS out of range";
        long long data = std::llabs(bitpix) / 8;
        for (int axis = 1; axis <= axes; ++axis) data *= naxis[axis];
        pos = (pos + 2879) / 2880 * 2880 + static_cast<size_t>((data + 2879) / 2880 * 2880);
    }
    if (pos != bytes.size()) return "length differs from what the headers declare";
    return {};
}

}  // namespace testsupport
