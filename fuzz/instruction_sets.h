#pragma once
// Which instruction sets a fuzz run compares with the scalar rows, said once at
// start-up. A set that the processor has (by the compiler's own reading of
// CPUID, apart from ProcessorSupports) but the kernels' choice turns down
// stops the run: its kernels would otherwise go unfuzzed without a word.

#include <cstdio>
#include <cstdlib>

#include "capture/convert_kernels.h"

inline void AnnounceInstructionSets() {
    struct Named {
        InstructionSet set;
        const char* name;
        bool claimed;
    };
    __builtin_cpu_init();
    const Named sets[] = {{InstructionSet::Scalar, "scalar", true},
                          {InstructionSet::SSE2, "SSE2", __builtin_cpu_supports("sse2") != 0},
                          {InstructionSet::AVX2, "AVX2", __builtin_cpu_supports("avx2") != 0}};
    std::fprintf(stderr, "instruction sets compared:");
    bool missing = false;
    for (const Named& s : sets) {
        const bool runs = ProcessorSupports(s.set);
        std::fprintf(stderr, " %s%s", s.name, runs ? "" : " (not run)");
        missing |= s.claimed && !runs;
    }
    std::fprintf(stderr, "\n");
    if (missing) {
        std::fprintf(stderr, "the processor has a set that the kernels' choice turned down\n");
        std::abort();
    }
}
