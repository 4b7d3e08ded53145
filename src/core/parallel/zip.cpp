#include "core/parallel/zip.h"

#include "core/fault.h"

namespace rastrel::parallel::detail {

[[gnu::cold, gnu::noinline]] void raise_shape_mismatch() {
    throw Fault("assertion failed: part.equal_dim(dimension)");
}

}  // namespace rastrel::parallel::detail
