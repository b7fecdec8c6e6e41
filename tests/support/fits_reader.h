// Decodes the FITS files the program writes, for end-to-end tests: header
// cards by keyword, image values and table rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct FitsUnit {
    std::vector<std::string> cards;        // every card, END included
    std::map<std::string, std::string> values;  // keyword -> value field text, trimmed
    size_t dataOffset = 0;                 // first data byte in the file

    std::string value(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
    long long intValue(const std::string& key) const { return std::stoll(value(key)); }
    double realValue(const std::string& key) const { return std::stod(value(key)); }
    // A string value without its quotes and trailing blanks.
    std::string text(const std::string& key) const {
        std::string v = value(key);
        if (v.size() >= 2 && v.front() == '\'') v = v.substr(1, v.rfind('\'') - 1);
        while (!v.empty() && v.back() == ' ') v.pop_back();
        return v;
    }
};

struct FitsFile {
    std::vector<unsigned char> bytes;
    FitsUnit primary, extension;

    static std::vector<unsigned char> readBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
    }

    // Parses the header starting at `offset`; returns the offset after it.
    size_t parseHeader(size_t offset, FitsUnit& unit) const {
        for (;;) {
            if (offset + 80 > bytes.size()) return bytes.size();
            std::string card(reinterpret_cast<const char*>(&bytes[offset]), 80);
            offset += 80;
            unit.cards.push_back(card);
            const std::string key = card.substr(0, 8).substr(0, card.substr(0, 8).find_last_not_of(' ') + 1);
            if (key == "END") break;
            if (card.size() > 9 && card[8] == '=') {
                std::string v = card.substr(10, 22);  // columns 11-32
                if (!v.empty() && v[0] == '\'') {
                    // To the closing quote, past doubled quotes and column 32.
                    size_t close = 11;
                    while (close < card.size() && (card[close] != '\'' || (close + 1 < card.size() && card[close + 1] == '\'')))
                        close += card[close] == '\'' ? 2 : 1;
                    v = card.substr(10, close + 1 - 10);
                } else {
                    v = v.substr(0, 20);
                    const size_t first = v.find_first_not_of(' ');
                    v = first == std::string::npos ? "" : v.substr(first);
                    v = v.substr(0, v.find_last_not_of(' ') + 1);
                }
                unit.values[key] = v;
            }
        }
        return (offset + 2879) / 2880 * 2880;
    }

    static FitsFile load(const std::string& path) {
        FitsFile f;
        f.bytes = readBytes(path);
        size_t at = f.parseHeader(0, f.primary);
        f.primary.dataOffset = at;
        const long long n1 = f.primary.intValue("NAXIS1"), n2 = f.primary.intValue("NAXIS2"),
                        n3 = f.primary.intValue("NAXIS3");
        at += static_cast<size_t>((4 * n1 * n2 * n3 + 2879) / 2880 * 2880);
        at = f.parseHeader(at, f.extension);
        f.extension.dataOffset = at;
        return f;
    }

    std::int32_t int32At(size_t offset) const {
        return static_cast<std::int32_t>((std::uint32_t(bytes[offset]) << 24) | (std::uint32_t(bytes[offset + 1]) << 16) |
                                         (std::uint32_t(bytes[offset + 2]) << 8) | std::uint32_t(bytes[offset + 3]));
    }
    // Image value (pixel, series 0/1, plane 0-based) as stored: hundredths.
    std::int32_t pixel(long long i, int series, int plane) const {
        const long long n1 = primary.intValue("NAXIS1");
        return int32At(primary.dataOffset + static_cast<size_t>(4 * (i + n1 * (series + 2LL * plane))));
    }
    float rowFloat(int row, int offset) const {
        const std::uint32_t bits = static_cast<std::uint32_t>(int32At(extension.dataOffset + static_cast<size_t>(96 * row + offset)));
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    std::string rowText(int row, int offset) const {
        const char* p = reinterpret_cast<const char*>(&bytes[extension.dataOffset + static_cast<size_t>(96 * row + offset)]);
        return std::string(p, strnlen(p, 16));
    }
};

}  // namespace testsupport
