// Calibration values of the "Scan_params" rows from the coefficient table.
#include "tables/tables.h"

CalibrationValues calibrationValues(const TIniFile& coefficients, int coefficientCount, float f,
                                    int flagTheta, float tqsunDefault)
{
    // Theta computed from the frequency, used whenever the table does not give it.
    const float thetaByFormula = static_cast<float>(282.0L / f + 0.2L);
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
