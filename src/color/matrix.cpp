#include "color/matrix.h"

#include <array>
#include <cstdio>
#include <stdexcept>

namespace morvik::color {

namespace {

bool fits(int rows, int cols) { return rows > 0 && cols > 0 && rows <= kMaxMatrixSize && cols <= kMaxMatrixSize; }

}  // namespace

bool transpose(ConstMatrixRef a, MatrixRef t) {
    if (t.rows != a.cols || t.cols != a.rows) return false;
    for (int r = 0; r < a.rows; ++r) {
        for (int c = 0; c < a.cols; ++c) t.at(c, r) = a.at(r, c);
    }
    return true;
}

bool multiply(ConstMatrixRef a, ConstMatrixRef b, MatrixRef p) {
    if (a.cols != b.rows || p.rows != a.rows || p.cols != b.cols) return false;
    // Work on a copy so that p may alias an operand.
    std::array<float, kMaxMatrixSize * kMaxMatrixSize> out{};
    if (p.rows > kMaxMatrixSize || p.cols > kMaxMatrixSize) return false;
    for (int r = 0; r < a.rows; ++r) {
        for (int c = 0; c < b.cols; ++c) {
            float sum = 0.0f;
            for (int k = 0; k < a.cols; ++k) sum += a.at(r, k) * b.at(k, c);
            out[std::size_t(r) * kMaxMatrixSize + std::size_t(c)] = sum;
        }
    }
    for (int r = 0; r < p.rows; ++r) {
        for (int c = 0; c < p.cols; ++c) p.at(r, c) = out[std::size_t(r) * kMaxMatrixSize + std::size_t(c)];
    }
    return true;
}

bool invert_gauss_jordan(ConstMatrixRef a, MatrixRef out) {
    if (a.rows != a.cols) {
        std::fputs("the input matrix is not square", stdout);
        return false;
    }
    const int n = a.rows;
    if (!fits(n, n) || out.rows != n || out.cols != n) return false;

    // Augmented matrix [a | I], n x 2n.
    std::array<float, kMaxMatrixSize * 2 * kMaxMatrixSize> aug{};
    const int w = 2 * n;
    auto at = [&](int r, int c) -> float& { return aug[std::size_t(r) * std::size_t(w) + std::size_t(c)]; };
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) at(r, c) = a.at(r, c);
        at(r, n + r) = 1.0f;
    }

    // Forward elimination, then normalise the pivot row.
    for (int k = 0; k < n; ++k) {
        for (int r = k + 1; r < n; ++r) {
            const float factor = at(r, k) / at(k, k);
            for (int c = 0; c < w; ++c) at(r, c) = at(r, c) - factor * at(k, c);
        }
        const float pivot = at(k, k);
        for (int c = 0; c < w; ++c) at(k, c) = at(k, c) / pivot;
    }
    // Back-substitution: clear column k above the (unit) diagonal.
    for (int k = n - 1; k > 0; --k) {
        for (int r = 0; r < k; ++r) {
            const float factor = at(r, k);
            for (int c = 0; c < w; ++c) at(r, c) = at(r, c) - factor * at(k, c);
        }
    }
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) out.at(r, c) = at(r, n + c);
    }
    return true;
}

bool invert_sweep(ConstMatrixRef a, MatrixRef out) {
    const int n = a.rows;
    if (a.cols != n || !fits(n, n) || out.rows != n || out.cols != n) return false;

    std::array<float, kMaxMatrixSize * kMaxMatrixSize> m{};
    auto at = [&](int r, int c) -> float& { return m[std::size_t(r) * kMaxMatrixSize + std::size_t(c)]; };
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) at(r, c) = a.at(r, c);
    }
    for (int k = 0; k < n; ++k) {
        const float recip = 1.0f / at(k, k);
        at(k, k) = recip;
        for (int c = 0; c < n; ++c) {
            if (c != k) at(k, c) = at(k, c) * recip;
        }
        for (int r = 0; r < n; ++r) {
            if (r == k) continue;
            for (int c = 0; c < n; ++c) {
                if (c != k) at(r, c) = at(r, c) - at(r, k) * at(k, c);
            }
        }
        for (int r = 0; r < n; ++r) {
            if (r != k) at(r, k) = -at(r, k) * recip;
        }
    }
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) out.at(r, c) = at(r, c);
    }
    return true;
}

Line fit_line(std::span<const float> x, std::span<const float> y) {
    const int n = static_cast<int>(x.size());
    if (x.size() != y.size() || n < 1 || n > kMaxMatrixSize) throw std::length_error("fit_line: bad point count");

    std::array<float, kMaxMatrixSize * 2> design{};  // n x 2
    std::array<float, 2 * kMaxMatrixSize> design_t{};  // 2 x n
    for (int i = 0; i < n; ++i) {
        design[std::size_t(2 * i)] = 1.0f;
        design[std::size_t(2 * i + 1)] = x[std::size_t(i)];
    }
    MatrixRef a{design.data(), n, 2};
    MatrixRef at{design_t.data(), 2, n};
    transpose(a, at);

    std::array<float, 4> normal{};
    std::array<float, 4> normal_inv{};
    MatrixRef ata{normal.data(), 2, 2};
    MatrixRef ata_inv{normal_inv.data(), 2, 2};
    multiply(at, a, ata);
    invert_gauss_jordan(ata, ata_inv);

    std::array<float, 2 * kMaxMatrixSize> pseudo{};  // 2 x n
    MatrixRef pinv{pseudo.data(), 2, n};
    multiply(ata_inv, at, pinv);

    std::array<float, 2> beta{};
    multiply(pinv, ConstMatrixRef{y.data(), n, 1}, MatrixRef{beta.data(), 2, 1});
    return {beta[1], beta[0]};
}

}  // namespace morvik::color
