#include "fits/fits_header.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

using namespace skanvert;

namespace {

std::string cardText(const TFitsHdr& hdr, int i) { return std::string(hdr.Card(i).data(), 80); }

std::string padded(std::string text) {
    text.resize(80, ' ');
    return text;
}

// Fills a list with INT-cards KEY0, KEY1, ... until it holds `count` cards.
void fillTo(TFitsHdr& hdr, int count) {
    while (hdr.Count() < count) ASSERT_TRUE(hdr.SetInt("KEY" + std::to_string(hdr.Count()), 1));
}

}  // namespace

TEST(FitsHeader, CardImages) {
    struct Case { std::function<void(TFitsHdr&)> set; std::string image; };
    const Case cases[] = {
        {[](TFitsHdr& h) { h.Start(""); }, "SIMPLE  =                    T / Written by TFitsHdr (XRZ 2005)"},
        {[](TFitsHdr& h) { h.Start("BINTABLE"); }, "XTENSION= 'BINTABLE'           / Written by TFitsHdr (XRZ 2005)"},
        {[](TFitsHdr& h) { h.SetInt("bitpix", 32); }, "BITPIX  =                   32 /"},
        {[](TFitsHdr& h) { h.SetInt("NSAMPLES", 98765, "NAXIS1 = NSAMPLES / (4*SMOTH_Number)"); },
         "NSAMPLES=                98765 / NAXIS1 = NSAMPLES / (4*SMOTH_Number)"},
        {[](TFitsHdr& h) { h.SetInt("MIN", INT_MIN); }, "MIN     =          -2147483648 /"},
        {[](TFitsHdr& h) { h.SetDouble("SOLAR_R", 975.123456789, "arcsec"); },
         "SOLAR_R =   9.751234567890E+02 / arcsec"},
        {[](TFitsHdr& h) { h.SetDouble("TINY", -1.5e-100); }, "TINY    = -1.500000000000E-100 /"},
        {[](TFitsHdr& h) { h.SetFloat("AZIMUTH", -12.5f); }, "AZIMUTH =           -12.500000 /"},
        // "%f" texts longer than the value field fall back to the widest exponent form.
        {[](TFitsHdr& h) { h.SetFloat("BIG", 1e14f); }, "BIG     = 1.00000000376832E+14 /"},
        {[](TFitsHdr& h) { h.SetFloat("HUGE", -3.4e38f); }, "HUGE    = -3.3999999521444E+38 /"},
        {[](TFitsHdr& h) { h.SetString("ttype1", "date"); }, "TTYPE1  = 'date    '           /"},
        {[](TFitsHdr& h) { h.SetString("EXTNAME", "Scan_params"); }, "EXTNAME = 'Scan_params'        /"},
        {[](TFitsHdr& h) { h.SetString("OBJECT", "abcdefghijklmnopqrst"); }, "OBJECT  = 'abcdefghijklmnopqrst'"},
        {[](TFitsHdr& h) { h.SetString("OBJECT", "abcdefghijklmnopqrstuvwxy"); }, "OBJECT  = 'abcdefghijklmnopqrst'"},
        {[](TFitsHdr& h) { h.SetString("OBSERVER", "O'Neil"); }, "OBSERVER= 'O''Neil '           /"},
        // A doubled quote that would pass 20 characters is left out whole.
        {[](TFitsHdr& h) { h.SetString("OBJECT", "abcdefghijklmnopqrs'x"); }, "OBJECT  = 'abcdefghijklmnopqrs'/"},
        {[](TFitsHdr& h) { h.SetString("OBJECT", "'''''''''''"); }, "OBJECT  = ''''''''''''''''''''''"},
        {[](TFitsHdr& h) { h.SetInt("LONGKEYWORD", 1, std::string(50, 'c').c_str()); },
         "LONGKEYW=                    1 / " + std::string(40, 'c')},
        {[](TFitsHdr& h) { h.AddHistory("Smoothing pixels number is 20"); }, "HISTORY   Smoothing pixels number is 20"},
        {[](TFitsHdr& h) { h.AddComment(nullptr); }, "COMMENT"},
        {[](TFitsHdr& h) { h.AddComment(std::string(90, 'x').c_str()); }, "COMMENT   " + std::string(70, 'x')},
    };
    for (const Case& c : cases) {
        TFitsHdr hdr;
        c.set(hdr);
        EXPECT_EQ(cardText(hdr, 0), padded(c.image));
    }
}

TEST(FitsHeader, ReplacementKeepsPlaceAndDropsOldComment) {
    TFitsHdr hdr;
    hdr.Start("");
    hdr.SetInt("NAXIS1", 10, "pixels");
    EXPECT_TRUE(hdr.SetInt("naxis", 3));
    EXPECT_TRUE(hdr.SetInt("BITPIX", 32));
    EXPECT_TRUE(hdr.SetInt("NAXIS1", 20));
    ASSERT_EQ(hdr.Count(), 5);
    EXPECT_EQ(cardText(hdr, 1), padded("BITPIX  =                   32 /"));
    EXPECT_EQ(cardText(hdr, 2), padded("EXTEND  =                    T / FITS data may contain extensions"));
    EXPECT_EQ(cardText(hdr, 3), padded("NAXIS   =                    3 /"));
    EXPECT_EQ(cardText(hdr, 4), padded("NAXIS1  =                   20 /"));

    // The lookup is a prefix test on the card text: NAXIS finds an earlier NAXIS2.
    TFitsHdr prefix;
    prefix.SetInt("NAXIS2", 1);
    prefix.SetInt("NAXIS", 2);
    ASSERT_EQ(prefix.Count(), 1);
    EXPECT_EQ(cardText(prefix, 0), padded("NAXIS   =                    2 /"));

    // A long keyword is compared whole, so the cut card is never found again.
    TFitsHdr longKey;
    longKey.SetInt("LONGKEYWORD", 1);
    longKey.SetInt("LONGKEYWORD", 2);
    EXPECT_EQ(longKey.Count(), 2);
    longKey.SetInt(std::string(200, 'k'), 3);
    EXPECT_EQ(longKey.Count(), 3);
    EXPECT_EQ(cardText(longKey, 2).substr(0, 9), "KKKKKKKK=");
}

TEST(FitsHeader, LimitOf1022Cards) {
    TFitsHdr hdr;
    hdr.Start("");
    fillTo(hdr, 1022);
    const std::string last = cardText(hdr, 1021);
    EXPECT_FALSE(hdr.SetInt("NAXIS", 2));  // refused although it would only replace
    EXPECT_FALSE(hdr.SetLogical("NEW", 'T') || hdr.SetFloat("NEW", 1) || hdr.SetDouble("NEW", 1) ||
                 hdr.SetString("NEW", "x") || hdr.AddComment("x") || hdr.AddHistory("x"));
    EXPECT_EQ(hdr.Count(), 1022);
    EXPECT_EQ(cardText(hdr, 3), padded("NAXIS   =                    0 /"));
    EXPECT_EQ(cardText(hdr, 1021), last);

    const std::vector<char> bytes = hdr.Render();
    EXPECT_EQ(bytes.size(), 29u * 2880u);
    EXPECT_EQ(hdr.Count(), 1023);
    EXPECT_EQ(std::string(bytes.data() + 1022 * 80, 80), padded("END"));
    EXPECT_TRUE(hdr.Render().empty());  // 1023 cards: refused, nothing appended
    EXPECT_EQ(hdr.Count(), 1023);
}

TEST(FitsHeader, RenderFillsWholeBlocks) {
    struct Case { int cards; std::size_t bytes; };
    for (const Case c : {Case{1, 2880}, {35, 2880}, {36, 5760}, {71, 5760}, {72, 8640}}) {
        TFitsHdr hdr;
        fillTo(hdr, c.cards);
        const std::vector<char> bytes = hdr.Render();
        ASSERT_EQ(bytes.size(), c.bytes) << c.cards;
        for (int i = 0; i < c.cards; ++i)
            ASSERT_EQ(std::string(bytes.data() + i * 80, 80), cardText(hdr, i)) << c.cards;
        EXPECT_EQ(std::string(bytes.data() + c.cards * 80, 80), padded("END"));
        const std::size_t rest = c.bytes - (c.cards + 1u) * 80u;
        EXPECT_EQ(std::string(bytes.end() - static_cast<std::ptrdiff_t>(rest), bytes.end()), std::string(rest, ' '));
    }
    TFitsHdr empty;
    EXPECT_TRUE(empty.Render().empty());
    EXPECT_EQ(empty.Count(), 0);
}

TEST(FitsHeader, UpperName) {
    struct Case { std::string name, upper; };
    const std::string longName = "s" + std::string(99, 'u');
    for (const Case& c : {Case{"Sun", "SUN"}, {"", ""}, {"moon-2 \xe9z", "MOON-2 \xe9Z"},
                          {longName, "S" + std::string(62, 'U')}})
        EXPECT_EQ(upperName(c.name), c.upper);
}
