// Writes synthetic VEK recordings for tests: a valid header with chosen texts
// and fields, and frames whose samples and status words the test sets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

class RecordingBuilder {
public:
    explicit RecordingBuilder(std::int64_t frames) : bytes_(static_cast<size_t>(4096 + 752 * frames), 0) {
        setTimeField("12:00:42");
        setObject("sun");
        setStartStamp("Wed Apr 12 12:00:30 2006 45");
        setStopStamp("Wed Apr 12 12:10:30 2006 263");
        setSampleCountText("Samples: 6400");
        setAzimuth(0);
        setAltitude(45.0f);
    }

    void setTimeField(const std::string& text) { putText(18, 16, text); }
    void setObject(const std::string& text) { putText(34, 16, text); }
    void setSampleCountText(const std::string& text) { putText(2761, 32, text); }
    void setStopStamp(const std::string& text) { putText(3072, 32, text); }
    void setStartStamp(const std::string& text) { putText(4032, 32, text); }
    void setAzimuth(std::int32_t azimuth) { put32(52, static_cast<std::uint32_t>(azimuth)); }
    void setAltitude(float altitude) {
        std::uint32_t bits;
        std::memcpy(&bits, &altitude, 4);
        put32(56, bits);
    }
    // Raw header bytes, for texts without a terminator and the like.
    void setHeaderBytes(size_t offset, const std::string& raw) { std::memcpy(&bytes_[offset], raw.data(), raw.size()); }

    void setWord(std::int64_t frame, int block, int word, std::int16_t value) {
        const size_t at = static_cast<size_t>(4096 + 752 * frame + 188 * block + 2 * word);
        const auto u = static_cast<std::uint16_t>(value);
        bytes_[at] = static_cast<unsigned char>(u & 0xFF);
        bytes_[at + 1] = static_cast<unsigned char>(u >> 8);
    }
    // The same value in a word of all four blocks.
    void setWordAllBlocks(std::int64_t frame, int word, std::int16_t value) {
        for (int block = 0; block < 4; ++block) setWord(frame, block, word, value);
    }
    std::int64_t frames() const { return (static_cast<std::int64_t>(bytes_.size()) - 4096) / 752; }

    // Appends bytes that form no whole frame.
    void appendTail(size_t n) { bytes_.resize(bytes_.size() + n, 0); }
    void truncate(size_t n) { bytes_.resize(n); }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

    void writeTo(const std::string& path) const {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        if (!bytes_.empty()) std::fwrite(bytes_.data(), 1, bytes_.size(), f);
        std::fclose(f);
    }

private:
    void putText(size_t offset, size_t field, const std::string& text) {
        std::memset(&bytes_[offset], 0, field);
        std::memcpy(&bytes_[offset], text.data(), std::min(text.size(), field));
    }
    void put32(size_t offset, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_[offset + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
    }

    std::vector<unsigned char> bytes_;
};

}  // namespace testsupport
