// Colour conversions of the table generator: the integer RGB to YUV of the
// chart patches, YUV back to RGB, hue records and CIE L*a*b*.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "frame/maths.h"
#include "pca/pca.h"

namespace morvik::pca {

Yuv rgb_to_yuv(const Rgb& c) {
    const std::int64_t r = c.r, g = c.g, b = c.b;
    const std::int64_t y = (77 * r + 150 * g + 29 * b) >> 8;
    Yuv out;
    out.y = ((y * 255) >> 8) + 1;
    out.u = b >= y ? 128 + (((b - y) * 144) >> 8) : 128 - (((y - b) * 144) >> 8);
    const std::int64_t dr = std::llabs(r - y);
    out.v = r >= y ? 128 + ((dr * 183) >> 8) : 128 - ((dr * 183) >> 8);
    return out;
}

std::array<std::int32_t, 3> yuv8(const Yuv& c) {
    const auto clip = [](std::int64_t v) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, 255)); };
    return {clip(c.y), clip(c.u), clip(c.v)};
}

std::array<std::uint32_t, 3> yuv16(const Yuv& c) {
    const auto word = [](std::int64_t v) -> std::uint32_t {
        if (v >= 256) return 65535;
        if (v < 0) return 0;
        return static_cast<std::uint32_t>(v) << 8;
    };
    return {word(c.y), word(c.u), word(c.v)};
}

Rgb yuv8_to_rgb(std::int64_t y, std::int64_t u, std::int64_t v) {
    const double yy = static_cast<double>(y), du = static_cast<double>(u - 128), dv = static_cast<double>(v - 128);
    const auto level = [](double x) -> std::int32_t {
        if (x > 255) return 255;
        if (x < 0) return 0;
        return static_cast<std::int32_t>(x + 0.5);
    };
    return Rgb{level(yy + 1.402 * dv), level(yy - 0.344136 * du - 0.714136 * dv), level(yy + 1.772 * du)};
}

HueRecord hue_record(const Rgb& c) {
    const auto yuv = yuv8(rgb_to_yuv(c));
    const std::int64_t du = yuv[1] - 128, dv = yuv[2] - 128;
    HueRecord rec;
    rec.hue = hue_angle(static_cast<std::int32_t>(dv), static_cast<std::int32_t>(du));
    // The half sits inside the root here, unlike the block's own magnitude.
    rec.chroma = static_cast<std::int32_t>(std::sqrt(static_cast<double>(du * du + dv * dv) + 0.5));
    rec.luma = yuv[0];
    return rec;
}

namespace {

// Every step is rounded to float; powers are taken in double on float
// arguments and rounded.
float powf_rounded(float x, float e) { return static_cast<float>(maths::pow(x, e)); }

float linear(std::int32_t code) {
    const float c = static_cast<float>(code) / 255.0f;
    if (c <= 0.04045f) return c / 12.92f;
    return powf_rounded((c + 0.055f) / 1.055f, 2.4f);
}

float lab_f(float t) { return t > 0.008856f ? powf_rounded(t, 0.33333f) : 7.787f * t + 16.0f / 116.0f; }

}  // namespace

Lab lab_of(const Rgb& c) {
    const float r = linear(c.r), g = linear(c.g), b = linear(c.b);
    // sRGB matrix (four digits), then the scale of 100.
    const float x = (0.4124f * r + 0.3576f * g + 0.1805f * b) * 100.0f;
    const float y = (0.2126f * r + 0.7152f * g + 0.0722f * b) * 100.0f;
    const float z = (0.0193f * r + 0.1192f * g + 0.9505f * b) * 100.0f;
    const float fx = lab_f(x * 0.010521885f), fy = lab_f(y * 0.01f), fz = lab_f(z * 0.00918358f);
    return Lab{116.0f * fy - 16.0f, 500.0f * (fx - fy), 200.0f * (fy - fz)};
}

float ab_error(const Lab& x, const Lab& y) {
    const float da = x.a - y.a, db = x.b - y.b;
    return std::sqrt(da * da + db * db);
}

}  // namespace morvik::pca
