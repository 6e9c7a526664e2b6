// The group kernel of one flavour, known at compile time. Each flavour's
// targets (its kernel library, miner tests and benchmark) are compiled with
// QVN_GROUP_KERNEL naming one of the kernels below (CMakeLists.txt); the code
// that every flavour shares sees the kernel it is linked with through
// group_kernel.h instead, and never includes this header.
#pragma once

#include "miner/group_kernel.h"

#ifndef QVN_GROUP_KERNEL
#error "kernel_choice.h belongs to a flavour's targets, which define QVN_GROUP_KERNEL"
#endif

namespace qvn {

enum class Kernel {
    kAvx2,            // four-way AVX2 (the x86-64 default)
    kAvx512,          // eight-way AVX-512
    kNeon,            // two-way NEON
    kNeonSha3,        // two-way NEON with the ARMv8.2 SHA3 extension
    kNeonScalar,      // three-way: a NEON pair and a scalar lane (the AArch64 default)
    kNeonSha3Scalar,  // the same, the pair with the SHA3 extension
    kPortable,        // the scalar kernel, one nonce at a time, on any processor
};

inline constexpr Kernel kKernel = Kernel::QVN_GROUP_KERNEL;
inline constexpr bool kEightWayKernel = kKernel == Kernel::kAvx512;
inline constexpr bool kTwoWayKernel = kKernel == Kernel::kNeon || kKernel == Kernel::kNeonSha3;
inline constexpr bool kThreeWayKernel =
    kKernel == Kernel::kNeonScalar || kKernel == Kernel::kNeonSha3Scalar;

constexpr GroupKernel group_kernel(Kernel kernel) {
    switch (kernel) {
        case Kernel::kAvx512:
            return {8, "AVX-512", "AVX-512 eight-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeon:
            return {2, "NEON", "NEON two-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonSha3:
            return {2, "NEON+SHA3", "NEON+SHA3 two-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonScalar:
            return {3, "NEON+scalar", "NEON+scalar three-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonSha3Scalar:
            return {3, "NEON+SHA3+scalar",
                    "NEON+SHA3+scalar three-way fixed SHA3-256t + scalar tail"};
        case Kernel::kPortable:
            return {1, "scalar", "portable scalar fixed SHA3-256t"};
        case Kernel::kAvx2:
            break;
    }
    return {4, "AVX2", "AVX2 four-way fixed SHA3-256t + scalar tail"};
}

inline constexpr GroupKernel kGroupKernel = group_kernel(kKernel);

}  // namespace qvn
