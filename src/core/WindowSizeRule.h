#pragma once

#include <optional>

// The window's outer size for a work area at the given pixels per inch, dimension by dimension:
// a dimension the rule leaves alone (work area at or below its threshold) is empty and keeps its
// design value. Whether the rule applied is carried here, never guessed from the value.
struct WindowSize {
    std::optional<int> outerWidth;
    std::optional<int> outerHeight;
};

WindowSize windowSizeRule(int workWidth, int workHeight, int ppi);
