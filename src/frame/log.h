// The debug-log channel: one write per line, formatted printf-style into a
// local buffer, and the run framing of the long-running routines.
#pragma once

#include <ctime>

namespace morvik::frame {

// Write `text` unchanged, in one call, to the installed sink (or the
// platform's debug-output channel).
void log_write(const char* text);

// Format one line into a local buffer and write it in one call. Lines longer
// than the buffer (1023 characters) are cut.
void log_format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The framing of one run: the start time is read on construction, open()
// writes the banner and the start line, close() the end line, the elapsed
// seconds and (optionally) the closing banner.
class Run {
public:
    Run() : start_(std::time(nullptr)) {}
    void open(const char* start_line) const;
    void close(const char* end_line, bool closing_banner = true) const;

private:
    std::time_t start_;
};

inline constexpr const char* kBanner = "=============\n";

}  // namespace morvik::frame
