// Report: where the stages of a conversion send their console lines. The
// program's driver owns the one implementation that writes them to standard
// output and standard error; a test may collect them instead.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace skanvert {

// formatText / formatList
//   Given: a printf format and its values (or their va_list, which is used
//          up).
//   Returns: the text printf would write, as a string of exactly its length
//          (empty when the format fails).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatList(const char* format, std::va_list args);

class Report {
public:
    virtual ~Report() = default;

    // out / err
    //   Given: text, written as it is (line breaks included).
    //   Does: sends it to the console's output / error stream, after
    //         everything sent before it on that stream.
    virtual void out(std::string_view text) = 0;
    virtual void err(std::string_view text) = 0;

    // outf / errf
    //   Given: a printf format and its values.
    //   Does: formats them exactly as printf would and sends the text as out
    //         / err does.
    void outf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void errf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// ReportLines: a Report that keeps what it is sent, one text per stream.
class ReportLines : public Report {
public:
    void out(std::string_view text) override { out_ += text; }
    void err(std::string_view text) override { err_ += text; }
    const std::string& outText() const { return out_; }
    const std::string& errText() const { return err_; }

private:
    std::string out_;
    std::string err_;
};

}  // namespace skanvert
