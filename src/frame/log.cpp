#include "frame/log.h"

#include <cstdarg>
#include <cstdio>

#include "morvik/morvik.h"
#include "platform/platform.h"

namespace morvik::frame {

namespace {

morvik_log_sink g_sink = nullptr;
void* g_sink_user = nullptr;

}  // namespace

void log_write(const char* text) {
    if (g_sink != nullptr) {
        g_sink(text, g_sink_user);
    } else {
        platform::debug_output(text);
    }
}

void log_format(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_write(line);
}

void Run::open(const char* start_line) const {
    log_write(kBanner);
    log_write(start_line);
}

void Run::close(const char* end_line, bool closing_banner) const {
    log_write(end_line);
    log_format("Time lapsed: %1d sec\n", static_cast<int>(std::time(nullptr) - start_));
    if (closing_banner) log_write(kBanner);
}

}  // namespace morvik::frame

extern "C" MORVIK_API void morvik_set_log_sink(morvik_log_sink sink, void* user) {
    morvik::frame::g_sink = sink;
    morvik::frame::g_sink_user = sink != nullptr ? user : nullptr;
}
