#include "shading/block_stats.h"

#include <algorithm>
#include <array>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/log.h"
#include "frame/parallel.h"
#include "shading/numeric.h"

namespace morvik::shading {

namespace {

#if defined(__SSE2__)
// Four blocks of two channels side by side: rows ra and rb (the channels'
// two sample rows of each block), columns x .. x + 15. Stores the sums of the
// even-column channel at even[0..3] and of the odd-column one at odd[0..3];
// `bins` gets their histogram bins trunc(sum / 4 + 0.5), even channel in
// lanes 0..3. Masks, shifts and multiply-adds split and sum the columns: the
// one shuffle left is the final pack (shuffles compete for one execution
// port with the extraction of the bins).
inline void four_blocks(const std::uint8_t* ra, const std::uint8_t* rb, std::uint16_t* even, std::uint16_t* odd,
                        __m128i& bins) {
    const __m128i low_bytes = _mm_set1_epi16(0x00FF), ones = _mm_set1_epi16(1);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ra));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb));
    // Per 16-bit lane 2k (k = 0..7): column 2k of both rows, and column 2k + 1.
    const __m128i even_columns = _mm_add_epi16(_mm_and_si128(a, low_bytes), _mm_and_si128(b, low_bytes));
    const __m128i odd_columns = _mm_add_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    // Adjacent lanes summed: one 32-bit sum per block, then (e0..e3 o0..o3).
    const __m128i q = _mm_packs_epi32(_mm_madd_epi16(even_columns, ones), _mm_madd_epi16(odd_columns, ones));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(even), q);
    // The high half straight to memory (an 8-byte store with no alignment
    // demand, and no shuffle).
    _mm_storeh_pi(reinterpret_cast<__m64*>(odd), _mm_castsi128_ps(q));
    bins = _mm_srli_epi16(_mm_add_epi16(q, _mm_set1_epi16(2)), 2);
}

// Counts the bins of block i of the four: channels 0 and 1 from `upper`,
// 2 and 3 from `lower`.
template <int i>
inline void count(std::uint32_t (&hist)[4][256], __m128i upper, __m128i lower) {
    ++hist[0][_mm_extract_epi16(upper, i)];
    ++hist[1][_mm_extract_epi16(upper, 4 + i)];
    ++hist[2][_mm_extract_epi16(lower, i)];
    ++hist[3][_mm_extract_epi16(lower, 4 + i)];
}
#endif

}  // namespace

void block_sums(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                std::uint32_t hist[4][256]) {
    const int no_floor[4] = {0, 0, 0, 0};
    block_sums_above(raw, width, hn, vn, sums, no_floor, hist);
}

void block_sums_above(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                      const int floor[4], std::uint32_t hist[4][256]) {
    const std::size_t w = width;
#if defined(__SSE2__)
    // Bins below these lanes' floors need no count: a group of four blocks
    // is counted only when one of its sixteen bins reaches its floor. Where
    // no block of a group does (most of a field when the floors sit near
    // the brightest blocks) the extraction and the increments are skipped.
    const __m128i upper_floor = _mm_set_epi16(static_cast<std::int16_t>(floor[1] - 1), static_cast<std::int16_t>(floor[1] - 1),
                                              static_cast<std::int16_t>(floor[1] - 1), static_cast<std::int16_t>(floor[1] - 1),
                                              static_cast<std::int16_t>(floor[0] - 1), static_cast<std::int16_t>(floor[0] - 1),
                                              static_cast<std::int16_t>(floor[0] - 1), static_cast<std::int16_t>(floor[0] - 1));
    const __m128i lower_floor = _mm_set_epi16(static_cast<std::int16_t>(floor[3] - 1), static_cast<std::int16_t>(floor[3] - 1),
                                              static_cast<std::int16_t>(floor[3] - 1), static_cast<std::int16_t>(floor[3] - 1),
                                              static_cast<std::int16_t>(floor[2] - 1), static_cast<std::int16_t>(floor[2] - 1),
                                              static_cast<std::int16_t>(floor[2] - 1), static_cast<std::int16_t>(floor[2] - 1));
#endif
    // Two histograms per channel, for even and odd blocks: neighbouring
    // blocks of a flat field mostly share a bin, and two counters halve the
    // chain of increments through memory.
    std::uint32_t split[2][4][256] = {};
    for (int v = 0; v < vn; ++v) {
        const std::uint8_t* r0 = raw + static_cast<std::size_t>(4 * v) * w;
        const std::uint8_t* r1 = r0 + w;
        const std::uint8_t* r2 = r1 + w;
        const std::uint8_t* r3 = r2 + w;
        const std::size_t base = static_cast<std::size_t>(v) * static_cast<std::size_t>(hn);
        std::uint16_t* s0 = sums[0] + base;
        std::uint16_t* s1 = sums[1] + base;
        std::uint16_t* s2 = sums[2] + base;
        std::uint16_t* s3 = sums[3] + base;
        int h = 0;
#if defined(__SSE2__)
        for (; h + 4 <= hn; h += 4) {
            const int x = 4 * h;
            __m128i upper, lower;
            four_blocks(r0 + x, r2 + x, s0 + h, s1 + h, upper);
            four_blocks(r1 + x, r3 + x, s2 + h, s3 + h, lower);
            if (!_mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi16(upper, upper_floor), _mm_cmpgt_epi16(lower, lower_floor))))
                continue;
            // Bins taken straight from the registers: read back through
            // memory, they would wait for the wide store to forward.
            count<0>(split[0], upper, lower);
            count<1>(split[1], upper, lower);
            count<2>(split[0], upper, lower);
            count<3>(split[1], upper, lower);
        }
#endif
        for (; h < hn; ++h) {
            const int x = 4 * h;
            const unsigned a = r0[x] + r0[x + 2] + r2[x] + r2[x + 2];
            const unsigned b = r0[x + 1] + r0[x + 3] + r2[x + 1] + r2[x + 3];
            const unsigned c = r1[x] + r1[x + 2] + r3[x] + r3[x + 2];
            const unsigned d = r1[x + 1] + r1[x + 3] + r3[x + 1] + r3[x + 3];
            s0[h] = static_cast<std::uint16_t>(a);
            s1[h] = static_cast<std::uint16_t>(b);
            s2[h] = static_cast<std::uint16_t>(c);
            s3[h] = static_cast<std::uint16_t>(d);
            // Histogram bin trunc(sum / 4 + 0.5).
            std::uint32_t (&half)[4][256] = split[h & 1];
            ++half[0][(a + 2) >> 2];
            ++half[1][(b + 2) >> 2];
            ++half[2][(c + 2) >> 2];
            ++half[3][(d + 2) >> 2];
        }
    }
    for (int c = 0; c < 4; ++c)
        for (int bin = 0; bin < 256; ++bin) hist[c][bin] += split[0][c][bin] + split[1][c][bin];
}

namespace {

// How many blocks the target averages: a tenth of them, at least one.
std::uint64_t bright_count(std::size_t blocks) {
    const auto m = static_cast<std::uint64_t>(static_cast<double>(blocks) * 0.1);
    return m == 0 ? 1 : m;
}

// Histogram floors from every sixteenth block row: per channel, two bins
// below the bin that holds the brightest fifth of that sample. The brightest
// tenth of the whole image lies above them unless the sample misleads, which
// measure_blocks detects and repairs. Floors of 0 (count everything) when
// the grid is too small to sample.
void sample_floors(const std::uint8_t* raw, unsigned width, const BlockGrid& grid, std::uint16_t* const sums[4],
                   int floor[4]) {
    constexpr int kStep = 16;
    std::uint32_t sample[4][256] = {};
    std::size_t blocks = 0;
    for (int v = kStep / 2; v < grid.vn; v += kStep) {
        // The sums land where the main pass writes them again.
        std::uint16_t* row[4];
        for (int c = 0; c < 4; ++c) row[c] = sums[c] + grid.index(v, 0);
        block_sums(raw + static_cast<std::size_t>(4 * v) * width, width, grid.hn, 1, row, sample);
        blocks += static_cast<std::size_t>(grid.hn);
    }
    for (int c = 0; c < 4; ++c) {
        floor[c] = 0;
        if (blocks == 0) continue;
        const std::uint64_t fifth = std::max<std::uint64_t>(1, blocks / 5);
        sum_top_m(255, 0, -1, fifth, [&](int bin) { return std::uint64_t{sample[c][bin]}; },
                  [&](int bin, std::uint64_t, bool last) {
                      if (last) floor[c] = std::max(0, bin - 2);
                  });
    }
}

// The whole histogram of one channel's block sums.
void histogram_of(const std::uint16_t* sums, std::size_t n, std::uint32_t hist[256]) {
    std::fill(hist, hist + 256, 0u);
    for (std::size_t i = 0; i < n; ++i) ++hist[(sums[i] + 2) >> 2];
}

}  // namespace

double target_of(const std::uint32_t histogram[256], std::size_t blocks, double target_scale) {
    const std::uint64_t m = bright_count(blocks);
    // Sum of the bin values of the m brightest blocks.
    std::uint64_t bright_sum = 0;
    sum_top_m(255, 0, -1, m, [&](int bin) { return std::uint64_t{histogram[bin]}; },
              [&](int bin, std::uint64_t taken, bool) { bright_sum += static_cast<std::uint64_t>(bin) * taken; });
    return static_cast<double>(bright_sum) * target_scale / static_cast<double>(m);
}

void measure_blocks(const std::uint8_t* raw, unsigned width, const BlockGrid& grid, double target_scale,
                    std::uint16_t* storage, BlockStats& out) {
    out.grid = grid;
    std::uint16_t* sums[4];
    for (int c = 0; c < 4; ++c) {
        sums[c] = storage + static_cast<std::size_t>(c) * grid.n;
        out.sums[c] = sums[c];
    }
    // The target reads only the bins of the brightest tenth: the image pass
    // counts bins from floors found on a sample of rows.
    int floor[4];
    sample_floors(raw, width, grid, sums, floor);
    // Bands of block rows, each with its own histograms, summed afterwards.
    // With threads, four bands per thread, so that a thread that starts late
    // or is held up by other work leaves less to wait for.
    const int workers = frame::worker_count();
    const int bands = std::min(workers == 1 ? 1 : 4 * workers, std::max(grid.vn, 1));
    std::vector<std::array<std::array<std::uint32_t, 256>, 4>> band_histograms(static_cast<std::size_t>(bands));
    frame::run_parts(bands, [&](int band) {
        const int v0 = static_cast<int>(static_cast<long long>(grid.vn) * band / bands);
        const int v1 = static_cast<int>(static_cast<long long>(grid.vn) * (band + 1) / bands);
        std::uint32_t hist[4][256] = {};
        std::uint16_t* band_sums[4];
        for (int c = 0; c < 4; ++c) band_sums[c] = sums[c] + grid.index(v0, 0);
        block_sums_above(raw + static_cast<std::size_t>(4 * v0) * width, width, grid.hn, v1 - v0, band_sums, floor,
                         hist);
        for (int c = 0; c < 4; ++c)
            for (int bin = 0; bin < 256; ++bin) band_histograms[static_cast<std::size_t>(band)][c][bin] = hist[c][bin];
    });
    const std::uint64_t m = bright_count(grid.n);
    for (int c = 0; c < 4; ++c) {
        std::uint64_t above = 0;
        for (int bin = 0; bin < 256; ++bin) {
            std::uint32_t total = 0;
            for (const auto& h : band_histograms) total += h[c][bin];
            // Counts below the floor are partial: leave them out.
            out.histogram[c][bin] = bin < floor[c] ? 0 : total;
            above += out.histogram[c][bin];
        }
        // Fewer than a tenth of the blocks above the floor: the sample
        // misled, and the whole histogram is counted from the sums.
        if (above < m) {
            histogram_of(sums[c], grid.n, out.histogram[c]);
            floor[c] = 0;
        }
        out.histogram_floor[c] = floor[c];
    }

    frame::log_write("Shading: Find target values of R/Gr/Gb/B\n");
    for (int c = 0; c < 4; ++c) {
        const double target = target_of(out.histogram[c], grid.n, target_scale);
        out.target[c] = target;
        // Every later stage looks the gain need of a block up by its sum.
        for (int s = 0; s <= kMaxBlockSum; ++s) {
            const double mean = s / 4.0;
            const double g = (s == 0) ? 0.0 : (target - mean) / mean;
            out.gain_need[c][s] = g;
            if (g > 0) {
                // A positive need too small for 16.16 counts as the smallest one.
                const std::uint32_t fixed = to_fixed16(g);
                out.log_gain_need[c][s] = log2_fix(fixed == 0 ? 1 : fixed, 16);
            } else {
                out.log_gain_need[c][s] = 0;
            }
        }
    }
    frame::log_write("Shading: Find target values of R/Gr/Gb/B End\n");
}

}  // namespace morvik::shading
