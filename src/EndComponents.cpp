// The end-component decomposition entry: part of the interface, not
// implemented.
#include "IntervalIteration.h"

extern "C" int32_t MaximalEndComponents(const void* /*model*/, void* /*output*/,
                                        void* /*reserved*/, MessageCallback callback,
                                        const int32_t* abortFlag) {
    if (__atomic_load_n(abortFlag, __ATOMIC_RELAXED) != 0) {
        return 1;
    }
    callback(0, "Native end component decomposition is not yet implemented.", SeverityError);
    return 2;
}
