// TFitsHdr: the header of one FITS header-data unit, kept as an ordered list
// of 80-character cards and rendered into whole 2880-byte blocks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace skanvert {

using FitsCard = std::array<char, 80>;

inline constexpr int kFitsBlockBytes = 2880;
inline constexpr int kFitsCardSlots = 1024;

class TFitsHdr {
public:
    // Start
    //   Given: the extension text; empty means a primary header.
    //   Does: empties the list and writes the opening cards: XTENSION and
    //         BITPIX 8 for an extension; SIMPLE, BITPIX 0, EXTEND, NAXIS 0 for
    //         a primary header (BITPIX and NAXIS are placeholders the caller
    //         replaces in place).
    void Start(const std::string& extension);

    // Clear: empties the list (count 0), for a header laid out anew.
    void Clear() { cards_.clear(); }

    // Typed setters. Each upper-cases the keyword, replaces the first card
    // whose text begins with it (keeping its place) or appends a new card,
    // writes "=" in column 9, "/" in column 32, the keyword cut to 8 columns,
    // the comment (may be null) cut to 40 columns from column 34, and the
    // value in columns 11-30.
    //   Returns: false, with nothing changed, while the list holds more than
    //         1021 cards.
    //   Notes: numbers are right-justified to column 30; a number text that
    //         would not fit the 20 columns is written with "%.*E" at the
    //         largest precision that fits. Strings: quotes inside are doubled,
    //         characters outside printable ASCII become '?', the escaped text
    //         is cut to 20 characters without splitting a doubled quote, the
    //         closing quote stands in column 12 + max(n, 8), n the escaped
    //         length.
    bool SetLogical(const std::string& keyword, char value, const char* comment = nullptr);
    bool SetInt(const std::string& keyword, std::int32_t value, const char* comment = nullptr);
    bool SetFloat(const std::string& keyword, float value, const char* comment = nullptr);
    bool SetDouble(const std::string& keyword, double value, const char* comment = nullptr);
    bool SetString(const std::string& keyword, const std::string& value, const char* comment = nullptr);

    // SetLongString
    //   Does: as SetString for a text whose escaped form closes its quote by
    //         column 30; a longer text (escaped, at most 68 characters) has
    //         its closing quote right after it and, when given, " / " and the
    //         comment after that, cut at column 80.
    //   Returns: false, with nothing changed, while the list holds more than
    //         1021 cards.
    //   Notes: for the ISO 8601 date-times and names of the standard layout;
    //         the default layout never calls it.
    bool SetLongString(const std::string& keyword, const std::string& value, const char* comment = nullptr);

    // Find
    //   Returns: the index of the card that SetInt and the other setters
    //         would replace for the keyword (the first whose text begins with
    //         it, upper-cased), or -1.
    int Find(const std::string& keyword);

    // AddComment / AddHistory
    //   Does: appends a new "COMMENT" / "HISTORY" card, text (may be null)
    //         from column 11, cut to 70 characters.
    //   Returns: false while the list holds more than 1021 cards.
    bool AddComment(const char* text = nullptr);
    bool AddHistory(const char* text = nullptr);

    // Render
    //   Does: appends the END card and copies every card into blank-filled
    //         2880-byte blocks.
    //   Returns: the blocks; empty (nothing appended) for an empty list or
    //         one of more than 1022 cards.
    std::vector<char> Render();

    int Count() const { return static_cast<int>(cards_.size()); }
    const FitsCard& Card(int i) const { return cards_[static_cast<size_t>(i)]; }

private:
    const std::string& UpperKey(const std::string& keyword);
    int FindCard(const std::string& upperKey) const;
    FitsCard& PrepareCard(const std::string& keyword, const char* comment);
    bool PutNumber(const std::string& keyword, const std::string& text, const char* comment);
    bool AddCommentary(const char* word, const char* text);

    std::vector<FitsCard> cards_;
    std::string keyScratch_;
};

// upperName
//   Returns: the first 63 characters of the name with a-z turned to A-Z.
std::string upperName(const std::string& name);

}  // namespace skanvert
