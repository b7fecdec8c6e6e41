// Calendar and clock helpers: day numbers, clock texts, month names and the
// conversion of the recorder's local hour to universal time.
#pragma once

#include <string>

namespace skanvert {

// dayNumber
//   Given: a calendar date (year, month 1..12, day). A month of 13 counts as
//          January of the following year.
//   Returns: the Modified Julian Day number of the date (1858-11-17 gives 0),
//          computed with Fliegel and Van Flandern's integer formula for the
//          Julian Day Number (1968), every division truncating toward zero,
//          minus 2400001.
//   Notes: the arithmetic is carried in 64 bits and the result wrapped to
//          32 bits, so absurd years (from a damaged header) never overflow.
int dayNumber(int year, int month, int day);

// timeOfDaySeconds
//   Given: a clock text "h:m:s", read as three reals separated by exactly one
//          character of any kind ("%f%c%f%c%f").
//   Returns: m*60 + s + h*3600 in extended precision. Parts that are not read
//          count as 0. Hours above 23 are not rejected.
long double timeOfDaySeconds(const std::string& text);

// clockTextFinite
//   Given: a clock text as for timeOfDaySeconds.
//   Returns: false when one of the parts that are read is NaN or infinite
//          ("%f" accepts "nan" and "inf"), true otherwise.
bool clockTextFinite(const std::string& text);

// monthNumber
//   Given: a month text.
//   Returns: i + 1 for the first of "Jan" ... "Dec" that contains the text as
//          a case-sensitive substring; 13 when none does (an empty text
//          gives 1, "Ju" gives 6, "March" gives 13).
int monthNumber(const std::string& text);

// summerTimeTableHas
//   Returns: true for the years 2005..2020 that the summer-time table lists.
bool summerTimeTableHas(int year);

// summerTimeDays
//   Given: a year.
//   Returns: the day numbers of the first and last day of summer time: the
//          table's dates for 2005..2020, otherwise the last Sunday of March
//          and the last Sunday of October of that year (the same rule the
//          table follows).
struct SummerTimeDays {
    int firstDay;
    int lastDay;
};
SummerTimeDays summerTimeDays(int year);

// universalHour
//   Given: the year, the day number of the observation date and the local
//          hour of the recorder.
//   Returns: the hour in universal time: local - 3 outside summer time,
//          local - 4 from its first through its last day (both switch days
//          included); 24 is added to a negative result. The date is never
//          adjusted.
int universalHour(int year, int observationDay, int localHour);

}  // namespace skanvert
