#include "core/fault.h"

namespace rastrel {

[[gnu::cold, gnu::noinline]] void raise_fault(std::string text) { throw Fault(text); }

}  // namespace rastrel
