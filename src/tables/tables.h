// Calibration values of the "Scan_params" rows, taken from the coefficient
// table "crab0coef.txt" by frequency.
#pragma once

#include "tables/ini_file.h"

namespace skanvert {

// The name of the coefficient table, read from the working directory.
inline constexpr const char* kCoefficientFileName = "crab0coef.txt";

struct CalibrationValues {
    float tqsun;
    float kflux;
    float theta;
};

// calibrationValues
//   Given: the coefficient table and its line count (0: no table), a channel
//          frequency f in GHz, the flag_theta setting and tqsunDefault (220
//          for a lunar scan, 6000 otherwise).
//   Returns: Tqsun, kflux and theta for the channel's row.
//   Notes: with a table, the first row at or above f gives the values; when
//          no row qualifies the values last read stand. A value that the
//          chosen line lacks, or that no line held at all, takes its no-table
//          default: tqsun = tqsunDefault, kflux = 1.0. theta comes from the
//          table only when flag_theta is set and the table holds it;
//          otherwise it is 282.0 / f + 0.2 (extended precision, stored as
//          single precision).
CalibrationValues calibrationValues(const TIniFile& coefficients, int coefficientCount, float f,
                                    int flagTheta, float tqsunDefault);

}  // namespace skanvert
