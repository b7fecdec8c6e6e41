// TIniFile: the program's one reader of text files. It holds a whole text
// file as a list of lines and answers key lookups (settings file) and row
// lookups (channel configuration, coefficient table) on them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace skanvert {

// One row of a channel configuration or coefficient table: the up to eight
// reals that follow the key column. `written[i]` tells whether any line read
// during the last lookup wrote value i (a lookup that finds nothing leaves
// the values last read, and a value no line held stays unwritten).
struct TableRow {
    float value[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    bool written[8] = {false, false, false, false, false, false, false, false};
};
// Channel configuration row: value 0 frequency in GHz, value 1 use flag.
using ChannelRow = TableRow;
// Coefficient row: value 0 Tqsun, value 1 flux coefficient, value 2 theta.
using CoefficientRow = TableRow;

class TIniFile {
public:
    // Load
    //   Given: a file path.
    //   Does: empties the store and reads the file as lines. A carriage return
    //         right before a line feed is dropped first. A line longer than
    //         254 characters (line feed included) is stored as several lines
    //         of at most 254; the line feed stays part of the stored text; a
    //         NUL byte ends the stored text of its line. The number of lines
    //         is not limited.
    //   Returns: the number of lines stored; 0 when the file is empty or
    //         cannot be opened (then Opened() is false).
    int Load(const std::string& path);

    // Opened: whether the last Load found a file it could open.
    bool Opened() const { return opened_; }

    // Clear: releases every line; the count becomes 0.
    void Clear();

    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& Line(int i) const { return lines_[static_cast<size_t>(i)]; }

    // FindKey
    //   Returns: the index of the first line that begins with the key
    //         (case-sensitive prefix test: "smooth" finds "smoothing=5"), or -1.
    int FindKey(const std::string& key) const;

    // GetInt / GetFloat
    //   Returns: the value after the first "=" of the key's line read with
    //         "%d" / "%f" (leading blanks skipped, reading stops at the first
    //         character that does not fit); the default when the key is
    //         missing, the line has no "=", or nothing converts. An integer
    //         beyond the int range reads as the nearest bound.
    int GetInt(const std::string& key, int defaultValue) const;
    float GetFloat(const std::string& key, float defaultValue) const;

    // GetText
    //   Does: when the character after the first "=" is a single quote, the
    //         value is everything up to the next quote or the end of the line
    //         (line feed included when unclosed); otherwise the first word
    //         after the "=" ("%s"). Sets `dest` and returns true, or returns
    //         false with `dest` unchanged (key missing, no "=", blank value).
    bool GetText(const std::string& key, std::string& dest) const;

    // FindChannelRow
    //   Given: a channel number, a row to fill and a number format or null.
    //   Does: the key sought is the channel number printed with the format and
    //         read back with "%f" (with "%.2f": rounded to two decimals). Every
    //         line from the first is read with nine "%f"; the values after the
    //         first go into the row as they are read.
    //   Returns: the count of values read (2..9) from the first line with at
    //         least two values whose first value equals the key exactly; 0 when
    //         none matches (the row then holds the values last read).
    int FindChannelRow(float channel, ChannelRow& row, const char* format) const;

    // FindCoefRow
    //   Given: a frequency and a row to fill.
    //   Does: reads the lines from the second on (line 0 is a heading) as
    //         FindChannelRow does.
    //   Returns: n - 1 for the first line with n >= 2 values whose first value
    //         is at least the frequency; 0 when none qualifies (the row holds
    //         the values last read: a frequency above the last row takes the
    //         last row's values).
    int FindCoefRow(float frequency, CoefficientRow& row) const;

private:
    // Every line read once with the nine-real format, kept for the lookups:
    // a table is searched once per channel, and reading is what costs.
    struct ParsedLine {
        float key = 0;
        float values[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        int count = 0;  // reals read, the key included
    };
    const std::vector<ParsedLine>& ParsedLines() const;
    static void copyRowValues(const ParsedLine& line, TableRow& row);
    // The line of a key that holds an "=" (its position in `equals`), or null.
    const std::string* ValueLine(const std::string& key, size_t& equals) const;

    std::vector<std::string> lines_;
    bool opened_ = false;
    mutable std::vector<ParsedLine> parsed_;
    mutable bool parsedValid_ = false;
};

// readLeadingInt
//   Given: a text.
//   Does: reads an integer as "%d" does (leading white space skipped, an
//         optional sign, decimal digits up to the first other character:
//         "12abc" gives 12), except that a number beyond the int range
//         saturates at its bound instead of being undefined.
//   Returns: false, `value` unchanged, when no digit is read.
bool readLeadingInt(const char* text, int& value);

// readWord
//   Given: a text and a start position.
//   Returns: the first word at or after the position, as "%s" reads it
//          (leading white space skipped, the word ends at white space); false
//          when only white space remains. Used wherever a value is one word.
bool readWord(const std::string& text, size_t start, std::string& word);

}  // namespace skanvert
