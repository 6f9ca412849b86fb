#include "capture/convert_kernels.h"

#include <atomic>

#if defined(SNAPWARD_X86_KERNELS) && defined(_MSC_VER)
#include <intrin.h>
#elif defined(SNAPWARD_X86_KERNELS)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// Without it XGETBV faults.
constexpr uint32_t CPUID_OSXSAVE = 1u << 27;

#ifdef SNAPWARD_X86_KERNELS

struct CpuidRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// False when the processor has no such leaf.
bool Cpuid(uint32_t leaf, CpuidRegisters& r) {
#ifdef _MSC_VER
    int regs[4];
    __cpuid(regs, 0);
    if (static_cast<uint32_t>(regs[0]) < leaf) return false;
    __cpuidex(regs, static_cast<int>(leaf), 0);
    r = {static_cast<uint32_t>(regs[0]), static_cast<uint32_t>(regs[1]), static_cast<uint32_t>(regs[2]),
         static_cast<uint32_t>(regs[3])};
    return true;
#else
    // Declared returning int by clang and unsigned by GCC.
    if (static_cast<uint32_t>(__get_cpuid_max(0, nullptr)) < leaf) return false;
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
    return true;
#endif
}

// XCR0: the register states the operating system saves across task switches.
#ifndef _MSC_VER
__attribute__((target("xsave")))
#endif
uint64_t SavedRegisterStates() {
    return _xgetbv(0);
}

#endif

CpuReport ReadCpu() {
    CpuReport report;
#ifdef SNAPWARD_X86_KERNELS
    CpuidRegisters basic, extended;
    if (!Cpuid(1, basic)) return report;
    report.leaf1Ecx = basic.ecx;
    report.leaf1Edx = basic.edx;
    if ((basic.ecx & CPUID_OSXSAVE) != 0) report.xcr0 = SavedRegisterStates();
    if (Cpuid(7, extended)) report.leaf7Ebx = extended.ebx;
#endif
    return report;
}

std::atomic<InstructionSet>& InUse() {
    static std::atomic<InstructionSet> inUse{BestInstructionSet()};
    return inUse;
}

}  // namespace

bool ReportAllows(const CpuReport& report, InstructionSet set) {
    constexpr uint32_t CPUID_AVX = 1u << 28, CPUID_SSE2 = 1u << 26, CPUID_AVX2 = 1u << 5;
    constexpr uint64_t SSE_AND_AVX_STATES = 0x6;
    const bool sse2 = (report.leaf1Edx & CPUID_SSE2) != 0;
    switch (set) {
    case InstructionSet::Scalar:
        return true;
    case InstructionSet::SSE2:
        return sse2;
    case InstructionSet::AVX2:
        // The AVX2 rows hand rows too short for them to the SSE2 rows.
        return sse2 && (report.leaf1Ecx & (CPUID_OSXSAVE | CPUID_AVX)) == (CPUID_OSXSAVE | CPUID_AVX) &&
               (report.xcr0 & SSE_AND_AVX_STATES) == SSE_AND_AVX_STATES &&
               (report.leaf7Ebx & CPUID_AVX2) != 0;
    }
    return false;
}

bool ProcessorSupports(InstructionSet set) {
    // CPUID serialises the processor, and traps under some hypervisors: ask once.
    static const CpuReport report = ReadCpu();
    return ReportAllows(report, set);
}

InstructionSet BestInstructionSet() {
    if (ProcessorSupports(InstructionSet::AVX2)) return InstructionSet::AVX2;
    if (ProcessorSupports(InstructionSet::SSE2)) return InstructionSet::SSE2;
    return InstructionSet::Scalar;
}

bool UseInstructionSet(InstructionSet set) {
    if (!ProcessorSupports(set)) return false;
    InUse().store(set, std::memory_order_relaxed);
    return true;
}

InstructionSet InstructionSetInUse() { return InUse().load(std::memory_order_relaxed); }

RowKernels CurrentRowKernels() {
#ifdef SNAPWARD_X86_KERNELS
    switch (InUse().load(std::memory_order_relaxed)) {
    case InstructionSet::Scalar:
        break;
    case InstructionSet::SSE2:
        return {Nv12RowSse2, Yuy2RowSse2, CopyRowSse2};
    case InstructionSet::AVX2:
        return {Nv12RowAvx2, Yuy2RowAvx2, CopyRowAvx2};
    }
#endif
    return {};
}
