#pragma once

#include <cstdio>
#include <cstdlib>

// A plugin that must never be loaded: whatever process loads it appends a line to the file named
// by ORVEL_PLUGIN_MARKER, before Qt asks it anything.
__attribute__((constructor)) static void markLoaded() {
    if (const char* marker = std::getenv("ORVEL_PLUGIN_MARKER")) {
        if (std::FILE* f = std::fopen(marker, "a")) {
            std::fputs(ORVEL_PLUGIN_KIND "\n", f);
            std::fclose(f);
        }
    }
}
