// One conversion run: one VEK recording in, one FITS file out.
#pragma once

namespace skanvert {

// runConversion
//   Given: the program's argument count and arguments.
//   Does: gathers the settings, reads the recording and its channel
//         configuration, computes the scan geometry, selects the channels and
//         writes the FITS file, printing the run's messages; an interactive
//         run ends by waiting for one word on stdin.
//   Returns: the exit status: 0 when the file was written; 1 when a run that
//         got past the command line failed; -1 for option mode without -f.
int runConversion(int argc, char** argv);

}  // namespace skanvert
