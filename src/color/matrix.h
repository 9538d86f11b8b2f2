// Small dense-matrix toolkit of the colour family: row-major single-precision
// matrices up to 24 x 24, fixed-size working storage, no heap memory.
#pragma once

#include <cstddef>
#include <span>

namespace morvik::color {

inline constexpr int kMaxMatrixSize = 24;

// A row-major matrix over caller storage of rows * cols floats.
struct MatrixRef {
    float* data;
    int rows;
    int cols;
    float& at(int r, int c) const { return data[std::size_t(r) * std::size_t(cols) + std::size_t(c)]; }
};

struct ConstMatrixRef {
    const float* data;
    int rows;
    int cols;
    ConstMatrixRef(const float* d, int r, int c) : data(d), rows(r), cols(c) {}
    ConstMatrixRef(MatrixRef m) : data(m.data), rows(m.rows), cols(m.cols) {}  // NOLINT: implicit on purpose
    float at(int r, int c) const { return data[std::size_t(r) * std::size_t(cols) + std::size_t(c)]; }
};

// t = a^T. False (t untouched) unless t is a.cols x a.rows.
bool transpose(ConstMatrixRef a, MatrixRef t);

// p = a * b, accumulated in single precision in ascending k. False (p
// untouched) unless a.cols == b.rows and p is a.rows x b.cols.
bool multiply(ConstMatrixRef a, ConstMatrixRef b, MatrixRef p);

// Gauss-Jordan inverse on [a | I] without pivoting: rows below each pivot are
// cleared with the undivided pivot row, then the pivot row is divided by its
// diagonal element; back-substitution clears the upper triangle. A
// non-square `a` prints "the input matrix is not square" to standard output.
// False (out untouched) for non-square input, a size beyond 24 or an `out`
// of another shape.
bool invert_gauss_jordan(ConstMatrixRef a, MatrixRef out);

// In-place pivot-sweep inverse without row exchanges on a working copy of
// `a`, then copied to `out`. Same refusals as above, without a message.
bool invert_sweep(ConstMatrixRef a, MatrixRef out);

struct Line {
    float slope;
    float intercept;
};

// Ordinary least squares y = intercept + slope * x through n <= 24 points,
// from the normal equations (A^T A)^-1 A^T y with design rows (1, x), using
// the Gauss-Jordan inverse. Throws std::length_error for n > 24.
Line fit_line(std::span<const float> x, std::span<const float> y);

}  // namespace morvik::color
