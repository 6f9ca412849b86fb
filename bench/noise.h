#pragma once
// Deterministic bytes with some spread, so that the conversions' clamps take
// both branches; shared by the benchmark and the Windows timing program.

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}
