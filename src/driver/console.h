// The program's console: the one place where the stages' reports reach
// standard output and standard error.
#pragma once

#include "platform/report.h"

namespace skanvert {

// Console
//   Writes what it is sent to the process's standard output / standard
//   error through the C library's streams, in the order sent: standard
//   output stays buffered as the C library buffers it (so prompts flushed
//   by the driver come out in place), standard error unbuffered.
class Console : public Report {
public:
    void out(std::string_view text) override;
    void err(std::string_view text) override;
};

}  // namespace skanvert
