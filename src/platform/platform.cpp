#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

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

namespace {

// Blocks from this size on are large enough to be worth keeping (and, on
// Linux, to be backed by huge pages).
constexpr std::size_t kHuge = std::size_t{2} << 20;

void* system_allocate(std::size_t bytes) {
#if defined(_WIN32)
    // Large pages need a privilege the host process rarely holds.
    return _aligned_malloc(bytes, 64);
#elif defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < kHuge) return std::malloc(bytes);
    const std::size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
    void* block = std::aligned_alloc(kHuge, size);
    if (block != nullptr) madvise(block, size, MADV_HUGEPAGE);  // advice only: failure changes nothing
    return block;
#else
    return std::malloc(bytes);
#endif
}

void system_release(void* block) {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

// The one kept block: its pages stay with the process between calls, which
// is what spares the next call the clearing of fresh ones.
class KeptBlock {
public:
    ~KeptBlock() { system_release(block_); }

    // The kept block if it holds `bytes`, else nullptr.
    void* take(std::size_t bytes) {
        const std::lock_guard<std::mutex> hold(lock_);
        if (block_ == nullptr || size_ < bytes) return nullptr;
        void* block = block_;
        block_ = nullptr;
        size_ = 0;
        return block;
    }
    // Keeps `block` of `bytes` when it is larger than the one kept (which
    // is then freed); frees it otherwise.
    void put(void* block, std::size_t bytes) {
        void* spare = block;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            if (bytes > size_) {
                spare = block_;
                block_ = block;
                size_ = bytes;
            }
        }
        system_release(spare);
    }

private:
    std::mutex lock_;
    void* block_ = nullptr;
    std::size_t size_ = 0;
};

KeptBlock& kept_block() {
    static KeptBlock kept;
    return kept;
}

}  // namespace

void* allocate_working_memory(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    if (bytes >= kHuge)
        if (void* block = kept_block().take(bytes)) return block;
    return system_allocate(bytes);
}

void release_working_memory(void* block, std::size_t bytes) {
    if (block == nullptr) return;
    if (bytes >= kHuge) kept_block().put(block, bytes);
    else system_release(block);
}

}  // namespace morvik::platform
