// TFitsHdr: FITS header cards kept in creation order and rendered into
// 2880-byte blocks; upperName for the object-name tests.
#include "fits/fits_header.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/report.h"

namespace skanvert {

namespace {

// Card layout, as 0-based indices into the 80 characters of a card.
constexpr std::size_t kCardLength = 80;
constexpr std::size_t kKeywordColumns = 8;
constexpr std::size_t kEqualsIndex = 8;          // column 9
constexpr std::size_t kValueIndex = 10;          // column 11, first of the value field
constexpr std::size_t kValueColumns = 20;        // columns 11-30
constexpr std::size_t kSlashIndex = 31;          // column 32
constexpr std::size_t kCommentIndex = 33;        // column 34
constexpr std::size_t kCommentColumns = 40;      // columns 34-73
constexpr std::size_t kCommentaryIndex = 10;     // column 11 of COMMENT / HISTORY
constexpr std::size_t kCommentaryColumns = 70;   // columns 11-80
constexpr std::size_t kMinStringColumns = 8;     // short strings are padded to 8
constexpr std::size_t kLongStringColumns = 68;   // columns 12-79 of a long string

// Adding or replacing a card is refused above this count, so that a list
// holds at most 1022 cards and, after END, at most 1023 of the 1024 slots.
constexpr int kLastCountForAdding = 1021;
constexpr int kMaxCountForRender = 1022;
constexpr int kCardsPerBlock = kFitsBlockBytes / static_cast<int>(kCardLength);

const char* const kWrittenBy = "Written by TFitsHdr (XRZ 2005)";

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

FitsCard blankCard() {
    FitsCard card;
    card.fill(' ');
    return card;
}

// Copies at most `limit` characters of a terminated text (which may be null)
// to the card from index `at`; returns the number copied.
std::size_t copyText(FitsCard& card, std::size_t at, const char* text, std::size_t limit) {
    std::size_t n = 0;
    if (text == nullptr) return 0;
    while (n < limit && text[n] != '\0') {
        card[at + n] = text[n];
        ++n;
    }
    return n;
}

// The text of a real for the value field: `text` when it fits the 20 columns,
// otherwise the exponent form with as many decimals as still fit.
std::string fitValueField(std::string text, double value) {
    for (int precision = static_cast<int>(kValueColumns); text.size() > kValueColumns && precision >= 0;
         --precision)
        text = formatText("%.*E", precision, value);
    return text;
}

// A string value as it stands between the quotes: each quote doubled, every
// character outside printable ASCII (a header holds no other) written as '?',
// cut to `limit` characters, stopping before a quote whose doubled form would
// not fit.
std::string escapedString(const std::string& value, std::size_t limit = kValueColumns) {
    std::string escaped;
    for (char c : value) {
        if (c < ' ' || c > '~') c = '?';
        const std::size_t width = (c == '\'') ? 2 : 1;
        if (escaped.size() + width > limit) break;
        escaped.append(width, c);
    }
    return escaped;
}

}  // namespace

const std::string& TFitsHdr::UpperKey(const std::string& keyword) {
    keyScratch_.assign(keyword);
    for (char& c : keyScratch_) c = upperAscii(c);
    return keyScratch_;
}

// The first card whose text begins with the whole upper-cased keyword. The
// test is on the card's leading characters, not on its 8-column keyword
// field, so "NAXIS" also finds an earlier NAXIS1 card, and commentary and END
// cards take part; a keyword longer than a card never matches.
int TFitsHdr::FindCard(const std::string& upperKey) const {
    if (upperKey.size() > kCardLength) return -1;
    for (std::size_t i = 0; i < cards_.size(); ++i)
        if (std::memcmp(cards_[i].data(), upperKey.data(), upperKey.size()) == 0)
            return static_cast<int>(i);
    return -1;
}

// Reuses the card of the keyword in its place or appends a new one, then
// lays out its fixed parts: keyword, "=" in column 9, "/" in column 32 and
// the comment from column 34. The former value and comment are gone.
FitsCard& TFitsHdr::PrepareCard(const std::string& keyword, const char* comment) {
    const std::string& key = UpperKey(keyword);
    const int found = FindCard(key);
    if (found < 0) cards_.emplace_back();
    FitsCard& card = (found < 0) ? cards_.back() : cards_[static_cast<std::size_t>(found)];
    card = blankCard();
    card[kEqualsIndex] = '=';
    card[kSlashIndex] = '/';
    std::copy_n(key.begin(), std::min(key.size(), kKeywordColumns), card.begin());
    copyText(card, kCommentIndex, comment, kCommentColumns);
    return card;
}

// Writes a keyword card whose value text ends in column 30. The text is at
// most 20 characters: the callers format numbers to fit.
bool TFitsHdr::PutNumber(const std::string& keyword, const std::string& text, const char* comment) {
    if (Count() > kLastCountForAdding) return false;
    FitsCard& card = PrepareCard(keyword, comment);
    const std::size_t length = std::min(text.size(), kValueColumns);
    std::copy_n(text.end() - static_cast<std::ptrdiff_t>(length), length,
                card.begin() + static_cast<std::ptrdiff_t>(kValueIndex + kValueColumns - length));
    return true;
}

bool TFitsHdr::SetLogical(const std::string& keyword, char value, const char* comment) {
    return PutNumber(keyword, std::string(1, value), comment);
}

bool TFitsHdr::SetInt(const std::string& keyword, std::int32_t value, const char* comment) {
    return PutNumber(keyword, formatText("%d", static_cast<int>(value)), comment);
}

bool TFitsHdr::SetFloat(const std::string& keyword, float value, const char* comment) {
    const double widened = value;
    return PutNumber(keyword, fitValueField(formatText("%f", widened), widened), comment);
}

bool TFitsHdr::SetDouble(const std::string& keyword, double value, const char* comment) {
    return PutNumber(keyword, fitValueField(formatText("%.12E", value), value), comment);
}

// Quote in column 11, the escaped text from column 12, closing quote in
// column 12 + max(n, 8): column 20 for short strings, at most column 32.
bool TFitsHdr::SetString(const std::string& keyword, const std::string& value, const char* comment) {
    if (Count() > kLastCountForAdding) return false;
    const std::string escaped = escapedString(value);
    FitsCard& card = PrepareCard(keyword, comment);
    card[kValueIndex] = '\'';
    std::copy(escaped.begin(), escaped.end(), card.begin() + static_cast<std::ptrdiff_t>(kValueIndex + 1));
    card[kValueIndex + 1 + std::max(escaped.size(), kMinStringColumns)] = '\'';
    return true;
}

// Short texts take the layout of SetString; longer ones close their quote
// right after the text and carry the comment, as far as it fits, after " / ".
bool TFitsHdr::SetLongString(const std::string& keyword, const std::string& value, const char* comment) {
    const std::string escaped = escapedString(value, kLongStringColumns);
    if (std::max(escaped.size(), kMinStringColumns) + 1 + kValueIndex + 1 <= kValueIndex + kValueColumns)
        return SetString(keyword, value, comment);
    if (Count() > kLastCountForAdding) return false;
    FitsCard& card = PrepareCard(keyword, nullptr);
    std::fill(card.begin() + static_cast<std::ptrdiff_t>(kValueIndex), card.end(), ' ');
    card[kValueIndex] = '\'';
    std::copy(escaped.begin(), escaped.end(), card.begin() + static_cast<std::ptrdiff_t>(kValueIndex + 1));
    const std::size_t close = kValueIndex + 1 + escaped.size();
    card[close] = '\'';
    const std::size_t slash = close + 2;
    if (comment != nullptr && *comment != '\0' && slash + 2 < kCardLength) {
        card[slash] = '/';
        copyText(card, slash + 2, comment, kCardLength - slash - 2);
    }
    return true;
}

int TFitsHdr::Find(const std::string& keyword) { return FindCard(UpperKey(keyword)); }

// Appends a COMMENT or HISTORY card; these are never replaced.
bool TFitsHdr::AddCommentary(const char* word, const char* text) {
    if (Count() > kLastCountForAdding) return false;
    FitsCard card = blankCard();
    copyText(card, 0, word, kKeywordColumns);
    copyText(card, kCommentaryIndex, text, kCommentaryColumns);
    cards_.push_back(card);
    return true;
}

bool TFitsHdr::AddComment(const char* text) { return AddCommentary("COMMENT", text); }

bool TFitsHdr::AddHistory(const char* text) { return AddCommentary("HISTORY", text); }

// Opening cards: an extension header names its kind; a primary header gets
// placeholders BITPIX 0 and NAXIS 0 that the caller overwrites in place.
void TFitsHdr::Start(const std::string& extension) {
    cards_.clear();
    if (!extension.empty()) {
        SetString("XTENSION", extension, kWrittenBy);
        SetInt("BITPIX", 8);
    } else {
        SetLogical("SIMPLE", 'T', kWrittenBy);
        SetInt("BITPIX", 0);
        SetLogical("EXTEND", 'T', "FITS data may contain extensions");
        SetInt("NAXIS", 0);
    }
}

// Finishes the list with END (which stays in it) and lays every card into
// blank-filled 2880-byte blocks of 36 cards.
std::vector<char> TFitsHdr::Render() {
    if (Count() == 0 || Count() > kMaxCountForRender) return {};
    FitsCard end = blankCard();
    copyText(end, 0, "END", kKeywordColumns);
    cards_.push_back(end);
    const std::size_t blocks = (cards_.size() + kCardsPerBlock - 1) / kCardsPerBlock;
    std::vector<char> bytes(blocks * kFitsBlockBytes, ' ');
    for (std::size_t i = 0; i < cards_.size(); ++i)
        std::copy(cards_[i].begin(), cards_[i].end(), bytes.begin() + static_cast<std::ptrdiff_t>(i * kCardLength));
    return bytes;
}

std::string upperName(const std::string& name) {
    constexpr std::size_t kNameLength = 63;
    std::string upper = name.substr(0, kNameLength);
    for (char& c : upper) c = upperAscii(c);
    return upper;
}

}  // namespace skanvert
