// TIniFile: a text file held as lines, with the key getters of the settings
// file and the row lookups of the channel configuration and the coefficient
// table.
#include "tables/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/files.h"

namespace skanvert {

namespace {

// Longest text one read of a line returns: a 255-byte buffer less its
// terminating zero.
constexpr size_t kMaxLineChars = 254;

// Reads the whole file into `bytes`. Reading stops at the end of the file or
// at the first read error (a directory yields nothing).
void readAll(std::FILE* file, std::string& bytes)
{
    char chunk[4096];
    for (;;) {
        size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.append(chunk, got);
        if (got < sizeof chunk) {
            return;
        }
    }
}

// Drops every carriage return that stands right before a line feed, so a file
// written with CR LF line ends reads like one with LF line ends.
std::string dropCrBeforeLf(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;
        }
        out.push_back(bytes[i]);
    }
    return out;
}

}  // namespace

bool readWord(const std::string& text, size_t start, std::string& word)
{
    // A zero byte ends the text, as it ends a C string read with "%s".
    size_t end = text.find('\0');
    if (end == std::string::npos) {
        end = text.size();
    }
    size_t pos = start;
    while (pos < end && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    if (pos >= end) {
        return false;
    }
    size_t stop = pos;
    while (stop < end && !std::isspace(static_cast<unsigned char>(text[stop]))) {
        ++stop;
    }
    word.assign(text, pos, stop - pos);
    return true;
}

int TIniFile::Load(const std::string& path)
{
    Clear();
    std::FILE* file = platform::openForReading(path);
    opened_ = file != nullptr;
    if (file == nullptr) return 0;
    std::string raw;
    readAll(file, raw);
    std::fclose(file);

    // Split as a line reader with a 255-byte buffer does: each piece ends
    // after its line feed or after 254 characters, whichever comes first.
    // The stored copy ends at the first zero byte of its piece.
    const std::string bytes = dropCrBeforeLf(raw);
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t len = 0;
        while (len < kMaxLineChars && pos + len < bytes.size()) {
            if (bytes[pos + len++] == '\n') {
                break;
            }
        }
        const char* piece = bytes.data() + pos;
        const void* zero = std::memchr(piece, '\0', len);
        size_t stored = zero ? static_cast<size_t>(static_cast<const char*>(zero) - piece) : len;
        lines_.emplace_back(piece, stored);
        pos += len;
    }
    return Count();
}

void TIniFile::Clear()
{
    lines_.clear();
    lines_.shrink_to_fit();
    parsed_.clear();
    parsedValid_ = false;
}

int TIniFile::FindKey(const std::string& key) const
{
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].compare(0, key.size(), key) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const std::string* TIniFile::ValueLine(const std::string& key, size_t& equals) const
{
    const int index = FindKey(key);
    if (index < 0) {
        return nullptr;
    }
    const std::string& line = Line(index);
    equals = line.find('=');
    return equals == std::string::npos ? nullptr : &line;
}

int TIniFile::GetInt(const std::string& key, int defaultValue) const
{
    // The value is the integer at the start of the text after the "=".
    size_t eq = 0;
    const std::string* line = ValueLine(key, eq);
    int value = defaultValue;
    if (line != nullptr) {
        readLeadingInt(line->c_str() + eq + 1, value);
    }
    return value;
}

bool readLeadingInt(const char* text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long long read = std::strtoll(text, &end, 10);  // saturates at the long long range
    if (end == text) {
        return false;
    }
    value = static_cast<int>(std::clamp<long long>(read, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
    return true;
}

float TIniFile::GetFloat(const std::string& key, float defaultValue) const
{
    size_t eq = 0;
    const std::string* line = ValueLine(key, eq);
    float value = 0;
    return line != nullptr && std::sscanf(line->c_str() + eq + 1, "%f", &value) == 1 ? value : defaultValue;
}

bool TIniFile::GetText(const std::string& key, std::string& dest) const
{
    size_t eq = 0;
    const std::string* found = ValueLine(key, eq);
    if (found == nullptr) {
        return false;
    }
    const std::string& line = *found;
    // Quoted form: a quote right after the "=" opens a value that may hold
    // blanks; it runs to the next quote or the end of the stored line.
    if (eq + 1 < line.size() && line[eq + 1] == '\'') {
        size_t open = eq + 2;
        size_t close = line.find('\'', open);
        dest = line.substr(open, close == std::string::npos ? std::string::npos : close - open);
        return true;
    }
    // Plain form: the first word after the "=".
    std::string word;
    if (!readWord(line, eq + 1, word)) {
        return false;
    }
    dest = word;
    return true;
}

const std::vector<TIniFile::ParsedLine>& TIniFile::ParsedLines() const
{
    if (!parsedValid_) {
        parsed_.assign(lines_.size(), ParsedLine{});
        for (size_t i = 0; i < lines_.size(); ++i) {
            ParsedLine& p = parsed_[i];
            const int n = std::sscanf(lines_[i].c_str(), "%f %f %f %f %f %f %f %f %f", &p.key, &p.values[0],
                                      &p.values[1], &p.values[2], &p.values[3], &p.values[4], &p.values[5],
                                      &p.values[6], &p.values[7]);
            p.count = n < 0 ? 0 : n;
        }
        parsedValid_ = true;
    }
    return parsed_;
}

// A line read during a lookup writes the values it holds into the row; the
// values it lacks keep what the row held.
void TIniFile::copyRowValues(const ParsedLine& line, TableRow& row)
{
    for (int i = 0; i + 1 < line.count; ++i) {
        row.value[i] = line.values[i];
        row.written[i] = true;
    }
}

int TIniFile::FindChannelRow(float channel, ChannelRow& row, const char* format) const
{
    // The key sought: the channel number as the format prints it, read back.
    // A printed text that reads no real leaves the channel number itself.
    float wanted = channel;
    if (format != nullptr) {
        double number = static_cast<double>(channel);
        int len = std::snprintf(nullptr, 0, format, number);
        if (len >= 0) {
            std::string text(static_cast<size_t>(len) + 1, '\0');
            std::snprintf(text.data(), text.size(), format, number);
            float readBack = 0;
            if (std::sscanf(text.c_str(), "%f", &readBack) == 1) {
                wanted = readBack;
            }
        }
    }
    for (const ParsedLine& line : ParsedLines()) {
        copyRowValues(line, row);
        if (line.count >= 2 && line.key == wanted) {
            return line.count;
        }
    }
    return 0;
}

int TIniFile::FindCoefRow(float frequency, CoefficientRow& row) const
{
    // Line 0 is the table's heading; rows follow in ascending frequency.
    const std::vector<ParsedLine>& lines = ParsedLines();
    for (size_t i = 1; i < lines.size(); ++i) {
        copyRowValues(lines[i], row);
        if (lines[i].count >= 2 && lines[i].key >= frequency) {
            return lines[i].count - 1;
        }
    }
    return 0;
}

}  // namespace skanvert
