// The drivers and kernels of the AVX-512 back-end. This translation unit alone
// is compiled for AVX512F and AVX512DQ; everything it defines besides these
// drivers and kernels has internal linkage, so no AVX-512 instruction can
// reach the rest of the library, which runs on any x86-64 processor.
#include "Backends.hpp"
#include "Driver.hpp"
#include "Kernels.hpp"
#include "Variants.hpp"

namespace ii {

INTERVAL_ITERATION_VARIANT(DoubleDefaultAVX512)
INTERVAL_ITERATION_VARIANT(DoubleSafeAVX512)

}  // namespace ii
