// Every step runs in single precision, as the register path of the ISP
// expects; products accumulate in ascending patch order. The normal
// matrices are (Y W) X^T and (X W) X^T; the 3 x 3 inverse is the pivot sweep
// without row exchanges (pivot row times the pivot's reciprocal, then the
// other elements, then the pivot column times minus the reciprocal); rows
// are scaled by 1 / (row sum), and the rounding m * K +- 0.5 is a float sum
// before truncation.
#include "color/ccm.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "color/matrix.h"
#include "platform/platform.h"

namespace morvik::color {

namespace {

// float -> int32 truncation without undefined behaviour: NaN and values
// outside the range give INT32_MIN, as the x86 conversion does.
std::int32_t trunc_to_int(float v) {
    if (!(v > -2147483648.0f && v < 2147483648.0f)) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

std::uint32_t magnitude(std::int32_t v) {
    return v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
}

}  // namespace

Matrix3 fit_ccm(const Measured& measured, const Reference& reference, float strength) {
    // Illumination normalisation against the green illumination of patch 8,
    // then exposure to the reference green of the white patch.
    std::array<float, 3 * kPatches> t{};
    const float green8 = measured.illum(8, 1);
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < kPatches; ++i) {
            t[std::size_t(c * kPatches + i)] = (green8 / measured.illum(i, c)) * measured.chart(i, c);
        }
    }
    const float exposure = reference.rgb(18, 1) / t[std::size_t(kPatches + 18)];

    std::array<float, 3 * kPatches> x{};  // 3 x 24
    std::array<float, 3 * kPatches> y{};  // 3 x 24
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < kPatches; ++i) {
            x[std::size_t(c * kPatches + i)] = exposure * t[std::size_t(c * kPatches + i)];
            y[std::size_t(c * kPatches + i)] = reference.rgb(i, c);
        }
    }
    // Diagonal weights; the neutral row does not take part.
    std::array<float, kPatches * kPatches> w{};
    for (int i = 0; i < kFirstNeutral; ++i) w[std::size_t(i * kPatches + i)] = reference.weight(i);

    std::array<float, 3 * kPatches> xt_store{};  // 24 x 3
    std::array<float, 3 * kPatches> yw_store{};  // 3 x 24
    std::array<float, 3 * kPatches> xw_store{};  // 3 x 24
    std::array<float, 9> ywxt{};
    std::array<float, 9> xwxt{};
    std::array<float, 9> xwxt_inv{};
    Matrix3 m{};
    const MatrixRef X{x.data(), 3, kPatches};
    const MatrixRef Y{y.data(), 3, kPatches};
    const MatrixRef W{w.data(), kPatches, kPatches};
    const MatrixRef Xt{xt_store.data(), kPatches, 3};
    transpose(X, Xt);
    multiply(Y, W, MatrixRef{yw_store.data(), 3, kPatches});
    multiply(MatrixRef{yw_store.data(), 3, kPatches}, Xt, MatrixRef{ywxt.data(), 3, 3});
    multiply(X, W, MatrixRef{xw_store.data(), 3, kPatches});
    multiply(MatrixRef{xw_store.data(), 3, kPatches}, Xt, MatrixRef{xwxt.data(), 3, 3});
    invert_sweep(MatrixRef{xwxt.data(), 3, 3}, MatrixRef{xwxt_inv.data(), 3, 3});
    multiply(MatrixRef{ywxt.data(), 3, 3}, MatrixRef{xwxt_inv.data(), 3, 3}, MatrixRef{m.data(), 3, 3});

    // Rows sum to 1, then blend towards the identity.
    for (int r = 0; r < 3; ++r) {
        float* row = &m[std::size_t(3 * r)];
        const float scale = 1.0f / (row[0] + row[1] + row[2]);
        for (int c = 0; c < 3; ++c) row[c] = row[c] * scale;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            float& e = m[std::size_t(3 * r + c)];
            e = r == c ? (e - 1.0f) * strength + 1.0f : e * strength;
        }
    }
    return m;
}

std::array<std::int32_t, 9> quantise_ccm(const Matrix3& m, int unity) {
    const float k = static_cast<float>(unity);
    std::array<std::int32_t, 9> q{};
    for (std::size_t e = 0; e < 9; ++e) {
        const float scaled = m[e] * k;
        q[e] = trunc_to_int(m[e] >= 0.0f ? scaled + 0.5f : scaled - 0.5f);
    }
    for (int r = 0; r < 3; ++r) {
        std::uint32_t sum = 0;
        for (int c = 0; c < 3; ++c) sum += static_cast<std::uint32_t>(q[std::size_t(3 * r + c)]);
        std::int32_t& diag = q[std::size_t(4 * r)];
        diag = static_cast<std::int32_t>(static_cast<std::uint32_t>(diag) + static_cast<std::uint32_t>(unity) - sum);
    }
    return q;
}

std::array<std::uint8_t, 9> encode_ccm8(const std::array<std::int32_t, 9>& q) {
    std::array<std::uint8_t, 9> out{};
    for (std::size_t e = 0; e < 9; ++e) {
        const std::uint32_t word = q[e] < 0 ? 128u + magnitude(q[e]) : static_cast<std::uint32_t>(q[e]);
        out[e] = static_cast<std::uint8_t>(word & 0xFFu);
    }
    return out;
}

std::array<std::int32_t, 9> encode_ccm11(const std::array<std::int32_t, 9>& q) {
    std::array<std::int32_t, 9> out{};
    for (std::size_t e = 0; e < 9; ++e) {
        out[e] = q[e] < 0 ? static_cast<std::int32_t>(1024u + magnitude(q[e])) : q[e];
    }
    return out;
}

std::int32_t decode_ccm8(std::uint8_t word) { return (word & 0x80u) ? -std::int32_t(word & 0x7Fu) : word; }

std::int32_t decode_ccm11(std::int32_t word) {
    return (word & 0x400) ? -std::int32_t(word & 0x3FF) : word;
}

bool write_inspection_file(const std::string& path, const Measured& measured) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!file) return false;
    for (int i = 0; i < kPatches; ++i) {
        for (int f = 0; f < kMeasuredFields; ++f) {
            // Formatted by snprintf, as the debug log is, so every build
            // rounds the same way (the DLL's fprintf is the system CRT's).
            char cell[64];
            std::snprintf(cell, sizeof cell, "%8.4f,", double(measured.v[std::size_t(i * kMeasuredFields + f)]));
            std::fputs(cell, file.get());
        }
        std::fputs("\n", file.get());
    }
    return true;
}

std::string inspection_file_path() { return platform::inspect_dir() + "Camera_CC.csv"; }

}  // namespace morvik::color
