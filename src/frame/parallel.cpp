#include "frame/parallel.h"

#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace morvik::frame {

int worker_count() {
    const char* value = platform::env("MORVIK_THREADS");
    if (value == nullptr) return 1;
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || n < 1) return 1;
    return n > 16 ? 16 : static_cast<int>(n);
}

void run_parts(int parts, const std::function<void(int)>& part) {
    const int threads = parts < worker_count() ? parts : worker_count();
    if (threads <= 1) {
        for (int i = 0; i < parts; ++i) part(i);
        return;
    }
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto work = [&] {
        for (int i = next.fetch_add(1); i < parts && !failed.load(); i = next.fetch_add(1)) {
            try {
                part(i);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failure_lock);
                if (!failure) failure = std::current_exception();
                failed.store(true);
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    } catch (...) {
        // No thread to be had: the calling thread does the rest alone.
    }
    work();
    for (std::thread& t : helpers) t.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace morvik::frame
