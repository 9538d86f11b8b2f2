// Why a colour-family request was refused (or `ok`).
#pragma once

namespace morvik::color {

enum class Outcome { ok, null_pointer, negative_count, too_many_terms };

constexpr const char* describe(Outcome o) {
    switch (o) {
        case Outcome::ok:
            return "";
        case Outcome::null_pointer:
            return "a pointer argument is null";
        case Outcome::negative_count:
            return "light count is negative";
        case Outcome::too_many_terms:
            return "more than 6 polynomial terms asked for with six or more lights";
    }
    return "internal error";
}

}  // namespace morvik::color
