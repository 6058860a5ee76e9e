#include "core/WindowSizeRule.h"

#include <algorithm>

namespace {
// 80-bit extended arithmetic, left to right, with 0.9 held in that precision (slightly below 0.9):
// at densities other than 96 dpi a whole result can come out one lower, as the sizes always have.
int scaled(int work, int ppi) {
    const long double factor = 0.9L;
    const long double value = static_cast<long double>(work) * factor * ppi / 96;
    return static_cast<int>(value);
}

int cap(int ppi, int designLimit) {
    return static_cast<int>(static_cast<long double>(ppi * designLimit) / 96);
}
} // namespace

WindowSize windowSizeRule(int workWidth, int workHeight, int ppi) {
    WindowSize size;
    if (workWidth > 1024)
        size.outerWidth = std::min(scaled(workWidth, ppi), cap(ppi, 1300));
    if (workHeight > 700)
        size.outerHeight = std::min(scaled(workHeight, ppi), cap(ppi, 750));
    return size;
}
