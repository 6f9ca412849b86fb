#pragma once
// Vector kernels for the YUV rows of ConvertFrame, one file per instruction set
// (only that file is compiled for it), and the choice among them, made once from
// what the processor reports. The scalar rows in frame.cpp are the reference:
// a kernel gives the same bytes for every input and leaves to them whatever
// pixels do not fill its vectors.
//
// Files compiled for AVX2 include this header, so it holds declarations and
// constants only: an inline function defined here could be emitted with AVX2
// instructions and then chosen by the linker for callers on any processor.

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define SNAPWARD_X86_KERNELS 1
#endif

// For the kernels' block helpers: a call per block would pass the vectors
// through memory, costing more than the block's arithmetic.
#ifdef _MSC_VER
#define SNAPWARD_KERNEL_INLINE __forceinline
#else
#define SNAPWARD_KERNEL_INLINE inline __attribute__((always_inline))
#endif

enum class InstructionSet { Scalar, SSE2, AVX2 };

// Whether this processor, and its operating system for the wider registers, can
// run the kernels of `set`; always true for Scalar. Asked once.
bool ProcessorSupports(InstructionSet set);

// What the processor reports: CPUID leaf 1's ECX and EDX, leaf 7's EBX and the
// XCR0 register (each 0 where the processor cannot be asked for it). Whether it
// allows `set` is decoded apart from reading it, so that tests can present
// processors and operating systems other than the one they run on.
struct CpuReport {
    uint32_t leaf1Ecx = 0;
    uint32_t leaf1Edx = 0;
    uint32_t leaf7Ebx = 0;
    uint64_t xcr0 = 0;
};
bool ReportAllows(const CpuReport& report, InstructionSet set);

// The widest set the processor supports: ConvertFrame's choice until told otherwise.
InstructionSet BestInstructionSet();

// Pins the kernels ConvertFrame uses, for tests and benchmarks; false, changing
// nothing, when the processor lacks `set`.
bool UseInstructionSet(InstructionSet set);

// Each converts the leading pixels of one row that fill whole blocks and returns
// how many (an even number, at most `width`); rows are laid out as ConvertFrame's
// (blue, green, red). It reads only bytes the scalar row would read for those
// pixels, and writes only their output bytes and, transiently, bytes of the
// pixels after them that the scalar row then writes.
using Nv12RowKernel = int32_t (*)(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out);
using Yuy2RowKernel = int32_t (*)(const uint8_t* yuy2, int32_t width, uint8_t* out);

// Copies `bytes` bytes of one row, as memcpy would, and returns `bytes`, or 0
// for a row too short for it, which memcpy then copies. Meanwhile it has the
// cache fetch the row copied next (`nextDst`, `nextSrc`: the same length, or
// this row again): when rows are copied against their order in memory, as in
// turning a top-down picture bottom-up, the processor's prefetchers would miss
// the start of every row. Its stores are aligned, as unaligned ones would often
// straddle two cache lines. The buffers must not overlap.
using RowCopyKernel = int32_t (*)(uint8_t* dst, const uint8_t* src, int32_t bytes, const uint8_t* nextDst,
                                  const uint8_t* nextSrc);

struct RowKernels {
    Nv12RowKernel nv12 = nullptr;  // null: the scalar row does all of it
    Yuy2RowKernel yuy2 = nullptr;
    RowCopyKernel copy = nullptr;  // null: memcpy
};

// The set in use: ConvertFrame's, and DecodeJpeg's for its transforms.
InstructionSet InstructionSetInUse();

// The kernels of the set in use.
RowKernels CurrentRowKernels();

int32_t Nv12RowSse2(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out);
int32_t Yuy2RowSse2(const uint8_t* yuy2, int32_t width, uint8_t* out);
int32_t CopyRowSse2(uint8_t* dst, const uint8_t* src, int32_t bytes, const uint8_t* nextDst,
                    const uint8_t* nextSrc);
int32_t Nv12RowAvx2(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out);
int32_t Yuy2RowAvx2(const uint8_t* yuy2, int32_t width, uint8_t* out);
int32_t CopyRowAvx2(uint8_t* dst, const uint8_t* src, int32_t bytes, const uint8_t* nextDst,
                    const uint8_t* nextSrc);

// The colour products in 16-bit fixed point. For n = U - 128 or V - 128, the
// high half of the 16-bit product (4n) * M is floor(n * M / 2^14); adding 1 for
// a negative n turns it into a truncation toward zero. With these multipliers
// that equals the scalar rows' single-precision trunc(n * |c|) for every n from
// -128 to 127: each is |c| * 2^14 rounded to the nearest integer, except for
// 0.344, where only the next integer up truncates every n alike. Magnitudes
// only; the kernels give each term the sign the scalar rows give it.
constexpr int16_t RED_FROM_V_Q14 = 22970;    // 1.402
constexpr int16_t GREEN_FROM_V_Q14 = 11698;  // 0.714
constexpr int16_t GREEN_FROM_U_Q14 = 5637;   // 0.344
constexpr int16_t BLUE_FROM_U_Q14 = 29032;   // 1.772
