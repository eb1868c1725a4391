// Compiled as C++14: the last standard with dynamic exception specifications, whose violation
// is what makes the C++ run-time call unexpected.
#include <stdexcept>

namespace {
void __attribute__((noinline)) Throws() { throw std::runtime_error("outside the specification"); }
}  // namespace

void ThrowOutsideSpecification() throw(std::logic_error) { Throws(); }
