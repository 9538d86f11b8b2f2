// C exports of the gamma family: validate, call the core, catch everything.
// Results are computed completely before any caller buffer is written.
#include <algorithm>
#include <cstring>
#include <string>

#include "frame/guard.h"
#include "frame/last_error.h"
#include "gamma/gamma.h"
#include "morvik/morvik.h"

namespace {

using namespace morvik::gamma;

KT1Anchors anchors_of(const uint32_t* p) {
    KT1Anchors a{};
    std::copy(p, p + kAnchors, a.begin());
    return a;
}

template <class Array>
void store(const Array& from, uint32_t* to) {
    std::copy(from.begin(), from.end(), to);
}

}  // namespace

extern "C" {

MORVIK_API void aeZetDllUpateGammaTable(const GammaUpdateInput* input, GammaUpdateOutput* output) {
    if (input == nullptr || output == nullptr) return;
    morvik::frame::guarded_void([&] {
        AnchorCurve gamma{};
        std::copy(input->anchors, input->anchors + kAnchors, gamma.begin());
        const std::array<std::span<const std::uint16_t, kToneCodes>, 4> tones = {
            std::span<const std::uint16_t, kToneCodes>(input->tone[0], kToneCodes),
            std::span<const std::uint16_t, kToneCodes>(input->tone[1], kToneCodes),
            std::span<const std::uint16_t, kToneCodes>(input->tone[2], kToneCodes),
            std::span<const std::uint16_t, kToneCodes>(input->tone[3], kToneCodes)};
        const auto bytes = update(gamma, tones);
        static_assert(sizeof(GammaUpdateOutput) == std::tuple_size_v<decltype(bytes)>);
        std::memcpy(output, bytes.data(), bytes.size());
    });
}

MORVIK_API int32_t GMA_convert_KT1_to_KT2(const uint32_t* anchors, uint32_t* base, uint32_t* packed, const char* path) {
    if (anchors == nullptr || base == nullptr || packed == nullptr || path == nullptr)
        return MORVIK_STATUS_INVALID_ARGUMENT;
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        const Curve curve = curve_from_anchors(anchors_of(anchors));
        const KT2Table table = pack(curve);
        const std::string text = gamma_file_text(curve, table.packed);
        store(table.base, base);
        store(table.packed, packed);
        // The tables stand even when the file cannot be written; the result
        // stays 0 and the reason is kept for the caller.
        const FileOutcome written = write_text_file(path, text);
        if (written != FileOutcome::ok) morvik::frame::set_last_error(std::string(describe(written)) + " " + path);
        return int32_t{MORVIK_STATUS_OK};
    });
}

MORVIK_API int32_t GMA_convert_KT2_to_KT1(const uint32_t* packed, uint32_t* anchors, uint32_t* base) {
    if (packed == nullptr || anchors == nullptr || base == nullptr) return MORVIK_STATUS_INVALID_ARGUMENT;
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        PackedTable table{};
        std::copy(packed, packed + kEntries, table.begin());
        BaseArray bases{};
        bases[kEntries] = base[kEntries];  // the caller's value at input 4095
        // The stored slopes only fill the bases; the final curve ignores them.
        (void)curve_from_packed(table, std::span<std::uint32_t, kEntries>(bases.data(), kEntries));
        const KT1Anchors result = anchors_from_curve(curve_from_bases(bases));
        std::copy(bases.begin(), bases.begin() + kEntries, base);
        store(result, anchors);
        return int32_t{MORVIK_STATUS_OK};
    });
}

MORVIK_API int32_t GMA_convert_KT2_to_KT1_file(const char* path, uint32_t* anchors, uint32_t* packed, uint32_t* base) {
    if (path == nullptr || anchors == nullptr || packed == nullptr || base == nullptr)
        return MORVIK_STATUS_INVALID_ARGUMENT;
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        const FileWords read = read_gamma_file(path);
        if (read.outcome != FileOutcome::ok) {
            morvik::frame::set_last_error(std::string(describe(read.outcome)) + " " + path);
            return int32_t{MORVIK_GAMMA_CANNOT_OPEN};
        }
        // Entries beyond the words read keep the caller's contents.
        PackedTable table{};
        std::copy(packed, packed + kEntries, table.begin());
        std::copy(read.words.begin(), read.words.begin() + std::ptrdiff_t(read.count), table.begin());
        std::array<std::uint32_t, kEntries> bases{};
        const KT1Anchors result = anchors_from_curve(curve_from_packed(table, bases));
        std::copy(read.words.begin(), read.words.begin() + std::ptrdiff_t(read.count), packed);
        store(bases, base);
        store(result, anchors);
        return int32_t{MORVIK_STATUS_OK};
    });
}

}  // extern "C"
