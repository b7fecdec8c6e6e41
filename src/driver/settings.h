// The settings of one conversion run, gathered from start values, the
// settings file, and then the console prompts or the command-line options.
#pragma once

#include <string>

#include "processing/scan_settings.h"

namespace skanvert {

// The processing settings (ScanSettings, which holds their start values)
// with what the driver and the output take besides.
struct RunSettings : ScanSettings {
    std::string inputFile;  // recording name, joined to indir
    std::string channels;   // channel configuration, used as entered
    std::string indir;      // prefix of the input path
    std::string outdir;     // prefix of the output path
    int flag_theta = 0;     // theta from the coefficient table
    bool standardLayout = false;  // "layout=standard" / -layout=standard
};

// The gain-step handling taken when the settings file lacks "ampcor" or an
// -amp value does not convert: rescaling by the gain codes, while a run that
// sets nothing starts with the automatic correction.
inline constexpr int kAmpcorFallback = 2;

// The value of the layout key and option that selects the standard layout.
inline constexpr const char* kStandardLayout = "standard";

// settingsFileName: the program's path followed by ".ini".
std::string settingsFileName(int argc, char** argv);

// readSettingsFile
//   Does: writes "\nargc=%d", "\n<settings file>" and, when it cannot be
//         opened, "\nCan not open <settings file>" to stderr; loads the
//         settings file and, when it holds lines, reads its keys in their
//         fixed order over the start values.
void readSettingsFile(int argc, char** argv, RunSettings& settings);

// printUsage: writes the usage text to stdout.
void printUsage();

// findOption
//   Given: the arguments, an option name and an optional destination.
//   Does: finds the first argument after the program's name that begins with
//         the name; copies into `value` (when given) the text from one
//         character after the name (that separator is skipped whatever it
//         is), writes "\n\t<argument>" to stderr.
//   Returns: true when found; false leaves `value` untouched.
bool findOption(int argc, char** argv, const char* name, std::string* value);

// readCommandLine
//   Does: with no argument besides the program's name, writes the usage text
//         and asks the five prompts on stdin; otherwise reads the options in
//         their fixed lookup order. In debug mode writes "\n sigma = %f".
//   Returns: false for option mode without -f (after the usage text).
bool readCommandLine(int argc, char** argv, RunSettings& settings, bool& interactive);

// readWordFromStdin
//   Does: reads one word from stdin as "%s" does: blanks and line breaks are
//         skipped, the word ends before the next white space.
//   Returns: false at the end of input with no word read (`word` unchanged).
bool readWordFromStdin(std::string& word);

// inputPath / outputPath: the directory followed directly by the name.
std::string inputPath(const RunSettings& settings);
std::string outputPath(const RunSettings& settings, const std::string& outputName);

}  // namespace skanvert
