// Helpers shared by the test files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "morvik/morvik.h"

namespace morvik::test {

// Collects every debug-log write while alive.
class LogCapture {
public:
    LogCapture() { morvik_set_log_sink(&LogCapture::sink, this); }
    ~LogCapture() { morvik_set_log_sink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    static void sink(const char* line, void* user) {
        static_cast<LogCapture*>(user)->lines_.emplace_back(line);
    }
    std::vector<std::string> lines_;
};

// Sets (or unsets, with nullopt) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A fresh, empty folder removed with its contents at scope end.
class TempDir {
public:
    TempDir() {
        static std::mt19937_64 rng{std::random_device{}()};
        path_ = std::filesystem::temp_directory_path() / ("morvik-test-" + std::to_string(rng()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

#ifdef MORVIK_CLI
// Output (stdout and stderr together) of `morvik ARGS`; `exit_status` gets
// its exit status, or -1 when it did not exit normally.
inline std::string run_cli(const std::string& args, int& exit_status) {
    std::string out;
    exit_status = -1;
    FILE* pipe = popen((std::string(MORVIK_CLI) + " " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    const int raw = pclose(pipe);
    exit_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}
#endif

}  // namespace morvik::test
