// Compiled as C++14: the last standard with throw() lists on functions, whose violation
// is what makes the C++ run-time call unexpected.
#include <stdexcept>

namespace {
void __attribute__((noinline)) Throws() { throw std::runtime_error("not in the throw list"); }
}  // namespace

void ThrowOutsideSpecification() throw(std::logic_error) { Throws(); }
