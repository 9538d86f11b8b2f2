// Test-image verification: defective-pixel counts and green unbalance on the
// 24-bit bitmap pixel array that the tuning tool passes (raw or colour).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace morvik::verify {

// A caller's pixel array: rows of `width` BGR pixels padded to a multiple of
// 4 bytes, stored rows 0 .. height-1 in buffer order.
struct TestImage {
    TestImage(const std::uint8_t* pixels, int w, int h)
        : data(pixels), width(w), height(h), stride(std::size_t(3) * std::size_t(w) + std::size_t(packing_of(w))) {}

    static int packing_of(int width) { return (4 - (3 * (width % 4)) % 4) % 4; }
    const std::uint8_t* row(int r) const { return data + std::size_t(r) * stride; }

    const std::uint8_t* data;
    int width;
    int height;
    std::size_t stride;
};

// Smallest images each routine can measure without leaving the buffer.
inline constexpr int kDefectRawMin = 6;
inline constexpr int kDefectColourMin = 5;
inline constexpr int kUnbalanceMin = 2;

// Why a verification request was refused (or `ok`).
enum class Outcome { ok, unknown_format, null_pointer, too_small };

constexpr const char* describe(Outcome o) {
    switch (o) {
        case Outcome::ok:
            return "";
        case Outcome::unknown_format:
            return "image format is neither 1 (raw) nor 2 (colour)";
        case Outcome::null_pointer:
            return "image or result pointer is null";
        case Outcome::too_small:
            return "image is smaller than the verification window";
    }
    return "internal error";
}

// The argument check of both exports, in the order the host relies on: an
// unknown format first (reported without a log line), then null pointers,
// then the routine's minimum size (`raw_min` / `colour_min` pixels a side).
constexpr Outcome check_request(bool image, bool result, int format, int width, int height, int raw_min,
                                int colour_min) {
    if (format != 1 && format != 2) return Outcome::unknown_format;
    if (!image || !result) return Outcome::null_pointer;
    const int min = format == 1 ? raw_min : colour_min;
    if (width < min || height < min) return Outcome::too_small;
    return Outcome::ok;
}

// Streaming passes ask for the cache line this far past the byte they read:
// their arithmetic is slow enough that the hardware prefetcher alone falls
// behind. The address may lie past the buffer (a prefetch never faults), so
// it is formed as an integer.
inline void prefetch_ahead(const void* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + 1024));
}

// Bayer orders 1 and 2 put the greens at sites 0 and 3, others at 1 and 2.
inline bool greens_at_0_3(int bayer_order8) { return bayer_order8 == 1 || bayer_order8 == 2; }

// Mean and standard deviation of four channels (raw sites 0..3 or R, G, B, Y).
struct ChannelStats {
    double mean[4] = {};
    double std[4] = {};
};

struct DefectOutcome {
    std::uint32_t bright = 0;
    std::uint32_t dark = 0;
    ChannelStats stats;
    std::uint32_t g_check = 255;   // raw only
    std::uint32_t rb_check = 255;  // raw only
};

// `threshold` and `bayer_order` are the low 8 bits of the caller's values.
// Sizes must be at least kDefectRawMin / kDefectColourMin.
DefectOutcome defect_raw(const TestImage& image, int bayer_order, int threshold);
DefectOutcome defect_colour(const TestImage& image, int threshold);

struct GreenStats {
    double first_mean = 0, second_mean = 0, diff_mean = 0;
    double first_std = 0, second_std = 0, diff_std = 0;
};

// Sizes must be at least kUnbalanceMin.
GreenStats unbalance_greens_raw(const TestImage& image, int bayer_order);

// Colour images: the green pairs and the R, G, B, Y statistics (32-bit sums).
struct UnbalanceColour {
    GreenStats greens;
    ChannelStats stats;
};
UnbalanceColour unbalance_colour(const TestImage& image);

// Whole-image statistics. Sum is the integer type of the channel sums:
// std::uint64_t (exact) or std::uint32_t (wrapping).
template <class Sum>
ChannelStats raw_cell_stats(const TestImage& image);

// The R, G, B, Y statistics of a colour image, a row at a time for callers
// that pass over the rows anyway: add_row() for every stored row
// 0 .. height-1, then finish() makes the second pass. The lumas of the
// first pass are kept for the second.
template <class Sum>
class ColourSums {
public:
    explicit ColourSums(const TestImage& image);
    void add_row(int r);
    ChannelStats means() const;  // standard deviations left 0
    ChannelStats finish() const;
    const std::uint8_t* row_lumas(int r) const { return lumas_.get() + std::size_t(im_.width) * std::size_t(r); }

private:
    const TestImage& im_;
    // Every pixel's luma, written by add_row() and read by the second pass
    // (left uninitialised until then: no pass over it of its own).
    std::unique_ptr<std::uint8_t[]> lumas_;
    Sum sum_[4] = {};
};

// Luma of one colour pixel: products summed as G, R, B, then + 0.5, truncated.
inline int luma(int r, int g, int b) { return static_cast<int>(0.587 * g + 0.299 * r + 0.114 * b + 0.5); }

// luma() of `n` consecutive B, G, R pixels into out[0 .. n-1], in integers
// where that gives the same value.
void luma_row(const std::uint8_t* bgr, int n, std::uint8_t* out);

}  // namespace morvik::verify
