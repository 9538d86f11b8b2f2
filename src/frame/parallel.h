// Splitting a calculation into independent parts across threads. The
// library runs everything on the calling thread unless MORVIK_THREADS asks
// for more (2..16): then a parallel section starts that many threads less
// one, shares the parts out with the calling thread and joins them before it
// returns, so no thread outlives the call. Parts must not log, must write
// only their own results, and must not depend on the order they run in;
// callers combine and log the results in part order, so results and log
// lines never depend on scheduling.
#pragma once

#include <atomic>
#include <exception>
#include <functional>

namespace morvik::frame {

// Threads a parallel section may use: MORVIK_THREADS clamped to 1..16, 1
// when unset or not a number.
int worker_count();

// Runs part(0) .. part(parts - 1), each exactly once, on up to worker_count()
// threads. Once a part throws, no further part starts; the first exception is
// rethrown here after every thread has finished.
void run_parts(int parts, const std::function<void(int)>& part);

}  // namespace morvik::frame
