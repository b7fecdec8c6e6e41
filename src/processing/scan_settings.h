// What the processing stages take of a run's settings, with the start values
// of every run: the one place that holds them.
#pragma once

namespace skanvert {

// Gain-step handling, chosen by the "ampcor" setting (each mode's value is
// the number that selects it).
enum class AmpCorrectionMode {
    None = 0,       // raw samples
    Automatic = 1,  // raw samples, then gain-step detection and correction
    Table = 2,      // samples scaled by their status code, then median3
};

inline constexpr AmpCorrectionMode kAmpNone = AmpCorrectionMode::None;
inline constexpr AmpCorrectionMode kAmpAutomatic = AmpCorrectionMode::Automatic;
inline constexpr AmpCorrectionMode kAmpTable = AmpCorrectionMode::Table;

// ampCorrectionMode
//   Given: the "ampcor" number as set (settings file, option or prompt).
//   Returns: 1 Automatic, 2 Table; any other number None.
constexpr AmpCorrectionMode ampCorrectionMode(int ampcor) {
    return ampcor == 1 ? AmpCorrectionMode::Automatic : ampcor == 2 ? AmpCorrectionMode::Table : AmpCorrectionMode::None;
}

// The smoothing number used when the one set is 0 or less.
inline constexpr int kDefaultSmoothing = 20;

// effectiveSmoothing: the smoothing number, with 0 or less replaced by 20.
constexpr int effectiveSmoothing(int smooth) { return smooth > 0 ? smooth : kDefaultSmoothing; }

struct ScanSettings {
    int smooth = kDefaultSmoothing;  // frames per image pixel, as set
    int ampcor = 1;                  // gain-step handling as set: see ampCorrectionMode
    int debug = 0;
    int onoff = 0;                   // lets the configuration's use flag drop channels
    float dspdt = 0.0076365f;        // seconds per frame
    int shift = 0;                   // frame offset between the two series
    float delta = 0;                 // declination for objects other than the Sun
    float valh = 10;                 // the source's own drift, seconds per hour
    float azim = 0;                  // fallback azimuth for objects other than the Sun
    float sigma = 1;                 // channel test threshold

    AmpCorrectionMode mode() const { return ampCorrectionMode(ampcor); }
};

}  // namespace skanvert
