// Gamma update: the hardware's piecewise-linear gamma interpolation on the
// 10-bit and 8-bit input scales, composition after tone curves, previews.
#include <bit>

#include "gamma/gamma.h"

namespace morvik::gamma {

namespace {

// Value in the segment from anchor i (at input `start`, width `width`, a
// power of two) to anchor i + 1. The shift rounds a falling segment toward
// minus infinity, as the hardware does.
int segment(const AnchorCurve& a, int i, int start, int width, int x) {
    const int rise = int(a[std::size_t(i + 1)]) - int(a[std::size_t(i)]);
    const int shift = std::countr_zero(unsigned(width));
    return int(a[std::size_t(i)]) + ((rise * (x - start) + width / 2) >> shift);
}

// The last anchor of the segment holding x (anchors ascending at `scale`
// times the 8-bit positions, x at or above the first and below the last).
int segment_of(int x, int scale) {
    int i = 0;
    while (kAnchorPositions[std::size_t(i + 1)] * scale <= x) ++i;
    return i;
}

int interpolate(const AnchorCurve& a, int x, int scale) {
    const int i = segment_of(x, scale);
    const int start = kAnchorPositions[std::size_t(i)] * scale;
    return segment(a, i, start, kAnchorPositions[std::size_t(i + 1)] * scale - start, x);
}

}  // namespace

int evaluate10(const AnchorCurve& a, unsigned x) {
    if (x < 8) return (a[0] + 1) >> 1;
    if (x < 960) return interpolate(a, int(x), 4);
    if (x < 1023) {
        // Straight line from the last anchor at 960 to 255 at 1023, half up.
        const int last = a[kAnchors - 1];
        return last + (int(x - 960) * (255 - last) * 2 + 63) / 126;
    }
    return 255;
}

int evaluate8(const AnchorCurve& a, unsigned x) {
    if (x < 2) return (a[0] + 1) >> 1;
    if (x < 240) return interpolate(a, int(x), 1);
    if (x < 255) {
        const int last = a[kAnchors - 1];
        return last + (int(x - 240) * (255 - last) * 2 + 15) / 30;
    }
    return 255;
}

int tone_index(int anchor) { return kAnchorPositions[std::size_t(anchor)] * 1023 / 255; }

std::array<std::uint8_t, kUpdateBytes> update(const AnchorCurve& gamma,
                                              const std::array<std::span<const std::uint16_t, kToneCodes>, 4>& tones) {
    std::array<std::uint8_t, kUpdateBytes> out{};
    for (int i = 0; i < kAnchors; ++i) out[std::size_t(i)] = gamma[std::size_t(i)];
    for (int k = 1; k <= 4; ++k) {
        const auto& tone = tones[std::size_t(k - 1)];
        for (int i = 0; i < kAnchors; ++i) {
            const unsigned t = tone[std::size_t(tone_index(i))];
            out[std::size_t(kAnchors * k + i)] = static_cast<std::uint8_t>(evaluate10(gamma, t));
        }
    }
    constexpr std::size_t kPreviews = kAnchors * 5;
    for (std::size_t k = 0; k < 5; ++k) {
        AnchorCurve curve{};
        for (std::size_t i = 0; i < std::size_t(kAnchors); ++i) curve[i] = out[kAnchors * k + i];
        for (std::size_t j = 0; j < kPreviewSamples; ++j)
            out[kPreviews + kPreviewSamples * k + j] = static_cast<std::uint8_t>(evaluate8(curve, unsigned(preview_input(j))));
    }
    return out;
}

}  // namespace morvik::gamma
