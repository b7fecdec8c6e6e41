// Calendar and clock helpers of the recorder's time stamps.
#include "astro/calendar.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace skanvert {

namespace {

// Month names as the recorder writes them, January first.
const char* const monthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Summer-time switch dates of the recorder's clock: the day of March on which
// summer time starts and the day of October on which it ends: the last
// Sundays of March and October, the European summer-time rule.
struct SummerTimeDates {
    int year;
    int marchDay;
    int octoberDay;
};

constexpr int kFirstTableYear = 2005;
constexpr int kLastTableYear = 2020;

const SummerTimeDates summerTimeTable[kLastTableYear - kFirstTableYear + 1] = {
    {2005, 27, 30}, {2006, 26, 29}, {2007, 25, 28}, {2008, 30, 26},
    {2009, 29, 25}, {2010, 28, 31}, {2011, 27, 30}, {2012, 25, 28},
    {2013, 31, 27}, {2014, 30, 26}, {2015, 29, 25}, {2016, 27, 30},
    {2017, 26, 29}, {2018, 25, 28}, {2019, 31, 27}, {2020, 29, 25},
};

// Day number 4 (1858-11-21) was a Sunday; day 0 was a Wednesday.
constexpr std::int64_t kSundayDayNumber = 4;

// The day number of the last Sunday on or before the given day number.
int sundayOnOrBefore(int day) {
    std::int64_t sinceSunday = (static_cast<std::int64_t>(day) - kSundayDayNumber) % 7;
    if (sinceSunday < 0) sinceSunday += 7;
    // Wraps like dayNumber itself for day numbers of absurd years.
    return static_cast<int>(static_cast<std::int64_t>(day) - sinceSunday);
}

// The three parts of a clock text; parts not read stay 0.
struct ClockParts {
    float hours = 0.0f;
    float minutes = 0.0f;
    float seconds = 0.0f;
};

ClockParts readClock(const std::string& text) {
    ClockParts parts;
    char separator1 = 0;
    char separator2 = 0;
    std::sscanf(text.c_str(), "%f%c%f%c%f", &parts.hours, &separator1, &parts.minutes,
                &separator2, &parts.seconds);
    return parts;
}

}  // namespace

int dayNumber(int year, int month, int day) {
    // The Julian Day Number by the integer algorithm of Fliegel and Van
    // Flandern (Communications of the ACM 11, 1968, p. 657: JD = D - 32075
    // + 1461(Y + 4800 + K)/4 + 367(M - 2 - 12K)/12 - 3((Y + 4900 + K)/100)/4,
    // K = (M - 14)/12, every division truncating), valid for the Gregorian
    // calendar, minus 2400001: the Modified Julian Day (MJD = JD - 2400000.5
    // at 0 h, and the JDN counts from noon). Exact for every date of years
    // 1 to 9999; the 64-bit intermediate values cannot overflow for any int
    // input.
    const std::int64_t y = year;
    const std::int64_t m = month;
    const std::int64_t k = (m - 14) / 12;  // -1 for January and February
    const std::int64_t p = (367 * (m - 2 - 12 * k)) / 12;
    const std::int64_t q = (1461 * (y + k + 4800)) / 4;
    const std::int64_t r = (3 * ((y + k + 4900) / 100)) / 4;
    const std::int64_t result = p + q + static_cast<std::int64_t>(day) - 2432076 - r;
    return static_cast<int>(result);  // modular conversion to 32 bits
}

long double timeOfDaySeconds(const std::string& text) {
    const ClockParts parts = readClock(text);
    const long double h = parts.hours;
    const long double m = parts.minutes;
    const long double s = parts.seconds;
    return m * 60 + s + h * 3600;
}

bool clockTextFinite(const std::string& text) {
    // Unread parts are 0, so checking all three checks exactly the read ones.
    const ClockParts parts = readClock(text);
    return std::isfinite(parts.hours) && std::isfinite(parts.minutes) &&
           std::isfinite(parts.seconds);
}

int monthNumber(const std::string& text) {
    // First month name that contains the text; 13 when none does.
    for (int i = 0; i < 12; ++i) {
        if (std::strstr(monthNames[i], text.c_str()) != nullptr) return i + 1;
    }
    return 13;
}

bool summerTimeTableHas(int year) {
    return year >= kFirstTableYear && year <= kLastTableYear;
}

SummerTimeDays summerTimeDays(int year) {
    if (summerTimeTableHas(year)) {
        const SummerTimeDates& dates = summerTimeTable[year - kFirstTableYear];
        return {dayNumber(year, 3, dates.marchDay), dayNumber(year, 10, dates.octoberDay)};
    }
    // Outside the table: the last Sundays of March and October.
    return {sundayOnOrBefore(dayNumber(year, 3, 31)), sundayOnOrBefore(dayNumber(year, 10, 31))};
}

int universalHour(int year, int observationDay, int localHour) {
    // The recorder runs 3 hours ahead of universal time, 4 during summer time
    // (both switch days included). The 64-bit hour cannot overflow, and after
    // the wrap of negative hours it always fits an int again.
    const SummerTimeDays summer = summerTimeDays(year);
    const bool summerTime = observationDay >= summer.firstDay && observationDay <= summer.lastDay;
    std::int64_t hour = static_cast<std::int64_t>(localHour) - (summerTime ? 4 : 3);
    if (hour < 0) hour += 24;
    return static_cast<int>(hour);
}

}  // namespace skanvert
