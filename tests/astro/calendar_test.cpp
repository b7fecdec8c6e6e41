#include "astro/calendar.h"

#include <gtest/gtest.h>

#include <climits>

using namespace skanvert;

// Reference day numbers: Python's proleptic Gregorian calendar,
// date(y, m, d).toordinal() - date(1858, 11, 17).toordinal(), exact. The
// rows cover both century rules (1900 and 2100 no leap years, 2000 one), a
// leap day, the first and last years a recording may carry, and month 13.
TEST(Calendar, DayNumbers) {
    struct Case { int y, m, d, expected; };
    for (const Case c : {Case{1858, 11, 17, 0}, {1900, 1, 1, 15020}, {1900, 3, 1, 15079}, {2000, 1, 1, 51544},
                         {2005, 1, 1, 53371}, {2008, 2, 29, 54525}, {2020, 12, 31, 59214},
                         {2100, 3, 1, 88128}, {1, 1, 1, -678575}, {9999, 12, 31, 2973483},
                         {2005, 13, 1, 53736}, {2006, 1, 1, 53736}})
        EXPECT_EQ(dayNumber(c.y, c.m, c.d), c.expected) << c.y << "-" << c.m << "-" << c.d;
}

TEST(Calendar, ClockTexts) {
    struct Case { const char* text; long double seconds; bool finite; };
    for (const Case c : {Case{"10:20:30", 37230, true}, {"10:20:30.5", 37230.5L, true},
                         {"10-20-30", 37230, true}, {"00:00:00", 0, true},
                         {"25:00:00", 90000, true}, {"10:20", 37200, true}, {"", 0, true},
                         {"10:nan:00", 0, false}, {"10:20:inf", 0, false}}) {
        if (c.finite) {
            EXPECT_EQ(timeOfDaySeconds(c.text), c.seconds) << c.text;
        }
        EXPECT_EQ(clockTextFinite(c.text), c.finite) << c.text;
    }
}

TEST(Calendar, MonthNames) {
    struct Case { const char* text; int expected; };
    for (const Case c : {Case{"Jan", 1}, {"Oct", 10}, {"Dec", 12}, {"Ju", 6}, {"", 1},
                         {"March", 13}, {"jan", 13}})
        EXPECT_EQ(monthNumber(c.text), c.expected) << '"' << c.text << '"';
}

TEST(Calendar, SummerTimeTableFollowsLastSundayRule) {
    const int table[][2] = {{27, 30}, {26, 29}, {25, 28}, {30, 26}, {29, 25}, {28, 31},
                            {27, 30}, {25, 28}, {31, 27}, {30, 26}, {29, 25}, {27, 30},
                            {26, 29}, {25, 28}, {31, 27}, {29, 25}};
    for (int year = 2005; year <= 2020; ++year) {
        ASSERT_TRUE(summerTimeTableHas(year));
        const SummerTimeDays days = summerTimeDays(year);
        EXPECT_EQ(days.firstDay, dayNumber(year, 3, table[year - 2005][0])) << year;
        EXPECT_EQ(days.lastDay, dayNumber(year, 10, table[year - 2005][1])) << year;
        // Each listed date is a Sunday (day 4 was one) within the month's
        // last seven days: the rule used outside the table.
        for (int day : {days.firstDay, days.lastDay}) EXPECT_EQ((day - 4) % 7, 0) << year;
        EXPECT_GT(days.firstDay + 7, dayNumber(year, 3, 31));
        EXPECT_GT(days.lastDay + 7, dayNumber(year, 10, 31));
    }
    EXPECT_FALSE(summerTimeTableHas(2004));
    EXPECT_FALSE(summerTimeTableHas(2021));
    // Outside the table: both 2004 and 2021 switched on 28 March and 31 October.
    for (int year : {2004, 2021}) {
        EXPECT_EQ(summerTimeDays(year).firstDay, dayNumber(year, 3, 28)) << year;
        EXPECT_EQ(summerTimeDays(year).lastDay, dayNumber(year, 10, 31)) << year;
    }
}

// Local hours equal to the offset give exactly 0 (not 24); hours 24..99,
// which recordings may carry, are shifted without a wrap.
TEST(Calendar, UniversalHour) {
    struct Case { int y, m, d, local, expected; };
    for (const Case c : {Case{2005, 3, 26, 12, 9}, {2005, 3, 27, 12, 8}, {2005, 10, 30, 12, 8},
                         {2005, 10, 31, 12, 9}, {2005, 1, 10, 2, 23}, {2005, 7, 1, 3, 23},
                         {2005, 1, 10, 3, 0}, {2005, 7, 1, 4, 0}, {2005, 1, 10, 0, 21},
                         {2005, 1, 10, 24, 21}, {2005, 7, 1, 99, 95}, {2005, 1, 10, 99, 96},
                         {2021, 3, 27, 12, 9}, {2021, 3, 28, 12, 8}, {2021, 10, 31, 12, 8},
                         {2021, 11, 1, 12, 9}})
        EXPECT_EQ(universalHour(c.y, dayNumber(c.y, c.m, c.d), c.local), c.expected)
            << c.y << "-" << c.m << "-" << c.d << " " << c.local << "h";
}

TEST(Calendar, AbsurdInputsStayDefined) {
    // Values from a damaged header must not crash (sanitizers check overflow).
    for (int v : {INT_MIN, -1, 0, INT_MAX}) {
        (void)dayNumber(v, v, v);
        (void)dayNumber(INT_MAX, 12, v);
        (void)summerTimeDays(v);
        const int hour = universalHour(v, v, v);
        if (v >= 0) {
            EXPECT_GE(hour, 0);
        }
    }
    EXPECT_EQ(universalHour(2005, 0, INT_MIN), INT_MIN + 21);
}
