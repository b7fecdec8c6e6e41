#include "fits/checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fits_header.h"
#include "fits/output.h"

using namespace skanvert;

// Expected values computed independently with astropy.io.fits
// (_compute_checksum and _char_encode of its HDU class).
TEST(Checksum, SumsAsAstropyDoes) {
    std::vector<unsigned char> counting;
    for (int r = 0; r < 12; ++r)
        for (int b = 0; b < 256; ++b) counting.push_back(static_cast<unsigned char>(b));
    struct Case { std::vector<unsigned char> bytes; std::uint32_t sum; };
    const Case cases[] = {
        {{}, 0u},
        {{0xff, 0xff, 0xff, 0xff, 0, 0, 0, 1}, 1u},           // the carry wraps into bit 0
        {{0x80, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0}, 2147483649u},
        {counting, 2122417275u},
        {{1, 2, 3}, 16909056u},                               // a short word counts as zero-filled
    };
    for (const Case& c : cases) EXPECT_EQ(onesComplementSum(c.bytes.data(), c.bytes.size()), c.sum) << c.bytes.size();
}

TEST(Checksum, EncodesAsAstropyDoes) {
    struct Case { std::uint32_t sum; const char* text; };
    const Case cases[] = {
        {0u, "orrrrooooooooooo"},
        {0xffffffffu, "0000000000000000"},
        {123456789u, "jnYAlnY9jnYAjnY7"},
        {0x80000000u, "oRrrrOoooOoooOoo"},
        {2583237227u, "UK3lUI1kUI1kUI1k"},
    };
    for (const Case& c : cases) EXPECT_EQ(checksumText(c.sum), c.text) << c.sum;
}

// A sealed unit sums to -0; a changed byte anywhere no longer does.
TEST(Checksum, SealedUnitSumsToMinusZeroAndDetectsAChangedByte) {
    std::vector<unsigned char> data(2880);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    const std::uint32_t dataSum = onesComplementSum(data.data(), data.size());
    TFitsHdr header;
    header.Start("BINTABLE");
    header.SetInt("NAXIS", 1);
    header.SetString("DATASUM", std::to_string(dataSum));
    header.SetString("CHECKSUM", kChecksumPlaceholder);
    const int card = header.Find("CHECKSUM");
    std::vector<char> bytes = header.Render();
    ASSERT_TRUE(sealChecksum(bytes, card, dataSum));
    const auto unitSum = [&] {
        return onesComplementSum(data.data(), data.size(),
                                 onesComplementSum(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    };
    EXPECT_EQ(unitSum(), 0xffffffffu);
    data[1234] ^= 0x10;
    EXPECT_NE(unitSum(), 0xffffffffu);
    // A second seal finds no placeholder; a card beyond the header is refused.
    EXPECT_FALSE(sealChecksum(bytes, card, dataSum));
    EXPECT_FALSE(sealChecksum(bytes, 36, dataSum));
    EXPECT_FALSE(sealChecksum(bytes, -1, dataSum));
}

TEST(StandardTimes, IsoDateTimes) {
    struct Case { std::int32_t day; double seconds; const char* text; };
    const Case cases[] = {
        {51544, 0.0, "2000-01-01T00:00:00.000"},
        {54525, 3723.4567, "2008-02-29T01:02:03.457"},
        {54525, -1.0, "2008-02-28T23:59:59.000"},        // before midnight: the day before
        {54525, 86399.9996, "2008-03-01T00:00:00.000"},  // rounds over midnight
        {0, 0.0, "1858-11-17T00:00:00.000"},
        {2973483, 86399.0, "9999-12-31T23:59:59.000"},
        {2973483, 86400.0, ""},                          // year 10000
        {-678576, 0.0, ""},                              // year 0
        {51544, 1e300, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(isoDateTime(c.day, c.seconds), c.text) << c.day << " " << c.seconds;
}

// Start, stop and crossing in UT from the local stamps: three hours ahead in
// winter, four from the last Sunday of March through the last of October.
TEST(StandardTimes, ScanTimesFromLocalStamps) {
    struct Case {
        int year, month, day;
        const char *start, *stop;
        double dt;
        std::string startIso, stopIso, crossingIso;
    };
    const Case cases[] = {
        {2011, 6, 21, "10:30:00.315", "10:32:33.045", 69.685, "2011-06-21T06:30:00.315", "2011-06-21T06:32:33.045",
         "2011-06-21T06:31:10.000"},
        {2005, 3, 26, "12:00:00.000", "12:10:00.000", 0.0, "2005-03-26T09:00:00.000", "2005-03-26T09:10:00.000",
         "2005-03-26T09:00:00.000"},
        {2005, 3, 27, "12:00:00.000", "12:10:00.000", 0.0, "2005-03-27T08:00:00.000", "2005-03-27T08:10:00.000",
         "2005-03-27T08:00:00.000"},
        // Local 02:00 is 23:00 UT of the day before; the stop after local
        // midnight falls on the next day.
        {2005, 1, 10, "02:00:00.000", "01:00:00.000", -30.0, "2005-01-09T23:00:00.000", "2005-01-10T22:00:00.000",
         "2005-01-09T22:59:30.000"},
    };
    for (const Case& c : cases) {
        const ScanTimes t = scanTimes(c.year, c.month, c.day, c.start, c.stop, c.dt, 20, 0.0076365);
        ASSERT_TRUE(t.known) << c.start;
        EXPECT_EQ(isoDateTime(t.startDay, t.startSeconds), c.startIso);
        EXPECT_EQ(isoDateTime(t.startDay, t.stopSeconds), c.stopIso);
        EXPECT_EQ(isoDateTime(t.startDay, t.crossingSeconds), c.crossingIso);
        EXPECT_DOUBLE_EQ(t.pixelSeconds, 20 * 0.0076365);
    }
    EXPECT_FALSE(scanTimes(2011, 6, 21, "nan:00:00", "10:00:00", 0.0, 20, 0.0076365).known);
    EXPECT_FALSE(scanTimes(9999, 12, 31, "23:00:00", "23:30:00", 1e9, 20, 0.0076365).known);
}

TEST(FitsHeader, LongStrings) {
    struct Case { std::string value; const char* comment; std::string image; };
    const Case cases[] = {
        // Short texts as SetString writes them.
        {"UTC", "scale", "TIMESYS = 'UTC     '           / scale"},
        {"2011-06-21T06:30:00.315", "UT of the start",
         "TIMESYS = '2011-06-21T06:30:00.315' / UT of the start"},
        {std::string(68, 'x'), "lost", "TIMESYS = '" + std::string(68, 'x') + "'"},
        {std::string(80, 'y'), nullptr, "TIMESYS = '" + std::string(68, 'y') + "'"},
        {"it's " + std::string(30, 'z'), nullptr, "TIMESYS = 'it''s " + std::string(30, 'z') + "'"},
    };
    for (const Case& c : cases) {
        TFitsHdr hdr;
        hdr.Start("");
        ASSERT_TRUE(hdr.SetLongString("TIMESYS", c.value, c.comment));
        std::string want = c.image;
        want.resize(80, ' ');
        EXPECT_EQ(std::string(hdr.Card(4).data(), 80), want) << c.value;
    }
}
