// Colour-correction-matrix calibration: weighted least squares on the
// chart, row normalisation, strength, quantisation and register encoding.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "color/chart.h"

namespace morvik::color {

// The fitted matrix after row normalisation and strength (single precision).
Matrix3 fit_ccm(const Measured& measured, const Reference& reference, float strength);

// Round half away from zero at unity K, then correct each diagonal so that
// every row sums to exactly K. Non-finite or out-of-range products give
// INT32_MIN (the x86 conversion result); the row-sum correction wraps.
std::array<std::int32_t, 9> quantise_ccm(const Matrix3& m, int unity);

// Sign-magnitude register words: negatives become sign_bit + |v|.
std::array<std::uint8_t, 9> encode_ccm8(const std::array<std::int32_t, 9>& q);
std::array<std::int32_t, 9> encode_ccm11(const std::array<std::int32_t, 9>& q);

// Inverse of the encodings (sign bit 7 or 10 set means negative).
std::int32_t decode_ccm8(std::uint8_t word);
std::int32_t decode_ccm11(std::int32_t word);

// Write the measured record as 24 lines of six "%8.4f," values to `path`;
// false (nothing written) when the file cannot be created.
bool write_inspection_file(const std::string& path, const Measured& measured);

// inspect_dir() + "Camera_CC.csv".
std::string inspection_file_path();

}  // namespace morvik::color
