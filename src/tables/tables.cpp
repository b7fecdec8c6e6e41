// Calibration values of the "Scan_params" rows from the coefficient table.
#include "tables/tables.h"

#include <cmath>
#include <limits>

namespace skanvert {

CalibrationValues calibrationValues(const TIniFile& coefficients, int coefficientCount, float f,
                                    int flagTheta, float tqsunDefault)
{
    // Theta computed from the frequency, used whenever the table does not give it.
    const long double theta = 282.0L / f + 0.2L;
    // Beyond the single-precision range (a frequency near 0) theta is infinite.
    const float thetaByFormula = std::fabs(theta) > std::numeric_limits<float>::max()
                                     ? std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(f))
                                     : static_cast<float>(theta);
    if (coefficientCount == 0) {
        return {tqsunDefault, 1.0f, thetaByFormula};
    }

    // The row chosen holds `filled` values; when no row qualifies the values
    // last read stand, for each value that some line wrote.
    CoefficientRow row;
    const int filled = coefficients.FindCoefRow(f, row);
    auto valid = [&](int i) { return filled > 0 ? i < filled : row.written[i]; };

    CalibrationValues result;
    result.tqsun = valid(0) ? row.value[0] : tqsunDefault;
    result.kflux = valid(1) ? row.value[1] : 1.0f;
    result.theta = (flagTheta != 0 && valid(2)) ? row.value[2] : thetaByFormula;
    return result;
}

}  // namespace skanvert
