// vekinfo [--csv] RECORDING...: prints what each recording's header and
// frames say, one JSON object per line (or CSV rows), without changing any
// file. Exit status: 0 when every recording was read, 1 when one or more
// could not be, 2 for a bad command line, 3 when the output cannot be
// written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vekinfo/recording_info.h"

namespace {

constexpr int kAllRead = 0;
constexpr int kSomeUnread = 1;
constexpr int kUsageError = 2;
constexpr int kOutputFailed = 3;

const char kUsage[] =
    "Usage: vekinfo [--csv] [--] RECORDING...\n"
    "Prints, for each VEK recording, one JSON object per line (or, with --csv, a\n"
    "heading line and one row each): path, ok, error, size, frames,\n"
    "trailing_bytes, object, time_local, ut_hour, time_ut, date_obs, start_stamp,\n"
    "stop_stamp, start_obs, stop_obs, azimuth, altitude, duration, nsamples,\n"
    "gain_words, gain_changes. Files are only read.\n"
    "Exit status: 0 all read, 1 some could not be read, 2 bad command line,\n"
    "3 output not written.\n";

bool put(const std::string& text) { return std::fputs(text.c_str(), stdout) >= 0; }

}  // namespace

int main(int argc, char** argv) {
    bool csv = false;
    bool optionsEnd = false;
    std::vector<std::string> recordings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            recordings.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--csv") {
            csv = true;
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s", kUsage);
            return kAllRead;
        } else {
            std::fprintf(stderr, "vekinfo: unknown option %s (put -- before a recording named so)\n%s", arg.c_str(),
                         kUsage);
            return kUsageError;
        }
    }
    if (recordings.empty()) {
        std::fprintf(stderr, "vekinfo: no recording given\n%s", kUsage);
        return kUsageError;
    }

    int status = kAllRead;
    bool written = !csv || put(vekinfo::csvHeading());
    for (const std::string& path : recordings) {
        const vekinfo::RecordingInfo info = vekinfo::inspectRecording(path);
        if (!info.ok) status = kSomeUnread;
        written = written && put(csv ? vekinfo::csvLine(info) : vekinfo::jsonLine(info));
        if (!written) break;
    }
    if (!written || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "vekinfo: cannot write the output: %s\n", std::strerror(errno));
        return kOutputFailed;
    }
    return status;
}
