#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#include <malloc.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include <vector>
#endif

namespace morvik::platform {

namespace {

std::string with_separator(std::string dir) {
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += path_separator();
    return dir;
}

}  // namespace

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

void debug_output(const char* text) {
#ifdef _WIN32
    OutputDebugStringA(text);
#else
    if (env("MORVIK_LOG") != nullptr) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
#endif
}

char path_separator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

std::string executable_dir() {
#ifdef _WIN32
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::string full(path, n);
#else
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return {};
    std::string full(path.data(), static_cast<size_t>(n));
#endif
    auto cut = full.find_last_of("/\\");
    if (cut == std::string::npos) return {};
    return full.substr(0, cut + 1);
}

std::string host_dir() {
    if (const char* dir = env("MORVIK_HOST_DIR")) return with_separator(dir);
    return executable_dir();
}

std::string inspect_dir() {
    if (const char* dir = env("MORVIK_INSPECT_DIR")) return with_separator(dir);
#ifdef _WIN32
    return "c:\\";
#else
    return {};
#endif
}

bool set_current_dir(const std::string& dir) {
#ifdef _WIN32
    return SetCurrentDirectoryA(dir.c_str()) != 0;
#else
    return chdir(dir.c_str()) == 0;
#endif
}

void* allocate_working_memory(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
#if defined(_WIN32)
    // Large pages need a privilege the host process rarely holds.
    return _aligned_malloc(bytes, 64);
#elif defined(__linux__) && defined(MADV_HUGEPAGE)
    // Through the C heap, so that a block freed by one call can serve the
    // next without fresh pages; huge pages only pay off from 2 MiB on.
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes < huge) return std::malloc(bytes);
    const std::size_t size = (bytes + huge - 1) / huge * huge;
    void* block = std::aligned_alloc(huge, size);
    if (block != nullptr) madvise(block, size, MADV_HUGEPAGE);  // advice only: failure changes nothing
    return block;
#else
    return std::malloc(bytes);
#endif
}

void release_working_memory(void* block) {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

}  // namespace morvik::platform
