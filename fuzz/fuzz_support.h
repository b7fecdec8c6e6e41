// Helpers shared by the fuzz targets: a private scratch folder, whole-file
// writes, a reader of typed values from the front of an input, the splitting
// of an input into header fields, and a small valid recording to put them on.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/recording_builder.h"

namespace fuzzsupport {

// A finding of an oracle: libFuzzer reports the abort with the input.
[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "\nfuzz oracle: %s\n", what);
    std::abort();
}

// Sends the program's standard output to /dev/null: the runs print a lot,
// and libFuzzer's own reports go to standard error.
inline void silenceStdout() {
    if (!std::freopen("/dev/null", "w", stdout)) finding("cannot redirect stdout");
}

// A folder of this process under the temporary folder, removed at exit. Its
// name lives in static storage that outlasts the exit handlers.
inline const char* scratchFolder() {
    static char folder[4096] = {};
    if (folder[0] == '\0') {
        const char* base = std::getenv("TMPDIR");
        const int n = std::snprintf(folder, sizeof folder, "%s/skanvert-fuzz-XXXXXX", base && *base ? base : "/tmp");
        if (n <= 0 || static_cast<size_t>(n) >= sizeof folder || !mkdtemp(folder)) {
            finding("cannot create the scratch folder");
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        });
    }
    return folder;
}

// Writes the bytes as the whole content of the file.
inline void writeWholeFile(const std::string& path, const void* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) finding("cannot create a scratch file");
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0) finding("cannot write a scratch file");
        p += n;
        size -= static_cast<size_t>(n);
    }
    close(fd);
}
inline void writeWholeFile(const std::string& path, const std::string& text) {
    writeWholeFile(path, text.data(), text.size());
}

// Takes fixed-size values from the front of an input; past its end every
// byte reads as zero.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : (++pos_, 0); }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int16_t i16() {
        const std::uint16_t low = byte();
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (byte() << 8)));
    }
    float f32() {
        const std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // The bytes not taken yet.
    const std::uint8_t* rest() const { return pos_ < size_ ? data_ + pos_ : data_ + size_; }
    size_t restSize() const { return pos_ < size_ ? size_ - pos_ : 0; }

private:
    const std::uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Splits the bytes at `separator` into at most `limit` pieces; the last
// piece takes the rest, separators included.
inline std::vector<std::string> splitAt(const std::uint8_t* data, size_t size, char separator, size_t limit) {
    std::vector<std::string> pieces;
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    while (p < end || pieces.empty()) {
        if (pieces.size() + 1 == limit) {
            pieces.emplace_back(p, end);
            break;
        }
        const char* stop = static_cast<const char*>(std::memchr(p, separator, static_cast<size_t>(end - p)));
        if (!stop) {
            pieces.emplace_back(p, end);
            break;
        }
        pieces.emplace_back(p, stop);
        p = stop + 1;
    }
    return pieces;
}

// The texts and fields of a recording header that an input may replace, in
// this order, one piece per field (pieces separated by line feeds). Texts are
// laid in raw, cut to their field and zero-filled; a text that fills its
// field has no terminator. Azimuth and altitude take the piece's first four
// bytes (little-endian), zero-filled.
enum HeaderPiece {
    kTimePiece,
    kObjectPiece,
    kSampleCountPiece,
    kStopStampPiece,
    kStartStampPiece,
    kAzimuthPiece,
    kAltitudePiece,
    kDatePiece,
    kHeaderPieces
};

inline void applyHeaderPieces(testsupport::RecordingBuilder& recording, const std::vector<std::string>& pieces) {
    struct Field {
        size_t offset, length;
    };
    static constexpr Field kFields[kHeaderPieces] = {{18, 16},   {34, 16}, {2761, 32}, {3072, 32},
                                                     {4032, 32}, {52, 4},  {56, 4},    {2, 16}};
    for (size_t i = 0; i < pieces.size() && i < kHeaderPieces; ++i) {
        std::string raw = pieces[i].substr(0, kFields[i].length);
        raw.resize(kFields[i].length, '\0');
        recording.setHeaderBytes(kFields[i].offset, raw);
    }
}

// A small valid recording of the Sun: channel 1 carries a bump, the others
// noise; gain steps in the status words of every tenth of the scan and one
// overflowing word.
inline testsupport::RecordingBuilder sunRecording(std::int64_t frames) {
    testsupport::RecordingBuilder b(frames);
    std::uint32_t noise = 12345;
    for (std::int64_t f = 0; f < frames; ++f) {
        const double x = (static_cast<double>(f) - 0.78 * static_cast<double>(frames)) /
                         (0.15 * static_cast<double>(frames) + 1);
        const auto bump = static_cast<std::int16_t>(1000 + 3000 * std::exp(-x * x));
        for (int word = 11; word < 80; ++word) {
            noise = noise * 1103515245u + 12345u;
            const auto n = static_cast<std::int16_t>((noise >> 16) % 64);
            b.setWord(f, 0, word, static_cast<std::int16_t>(word == 11 ? bump + n : 200 + n));
            b.setWord(f, 2, word, static_cast<std::int16_t>(word == 11 ? bump / 2 : 100 + n));
        }
        const std::int16_t status = (f * 10 / (frames + 1)) % 2 ? 259 : 0;
        for (int word = 83; word < 91; ++word) b.setWordAllBlocks(f, word, status);
    }
    if (frames > 3) b.setWord(3, 1, 13, -32768);
    return b;
}

}  // namespace fuzzsupport
