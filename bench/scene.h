#pragma once
// A camera-like scene for the JPEG benchmarks and tests: what a webcam frame
// compresses like, unlike plain noise. Shared by the native benchmark and
// tests and the Windows timing program.

#include <cstddef>
#include <cstdint>
#include <vector>

// A camera-like scene: smooth gradients, a few hard edges and some sensor
// noise, top-down RGB rows.
inline std::vector<uint8_t> ScenePixels(int width, int height, uint32_t seed, int noise = 24) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            const bool bar = (x * 7 / (width + 1)) % 2 == 1 && y > height / 3;
            const int base[3] = {x * 255 / width, y * 255 / height, bar ? 230 : ((x + y) * 97 / (width + height)) + 20};
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const int jitter = static_cast<int>(seed >> 24) % (noise + 1) - noise / 2;
                const int v = base[c] + jitter;
                p[c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    return rgb;
}
