// A small module whose DWARF the source lookup is held against addr2line with: functions in
// namespaces and classes, static functions, calls inlined two deep, and a function split into
// hot and cold parts.
#include <cstdlib>

namespace sample {

struct Counter {
  int value = 0;
  __attribute__((noinline)) int Add(int by);
  inline int Twice(int by) { return Add(by) + Add(by); }
};

int Counter::Add(int by) {
  value += by;
  return value;
}

static inline int Square(int x) { return x * x; }
static inline int SumOfSquares(int a, int b) { return Square(a) + Square(b); }

}  // namespace sample

namespace {

volatile int sink;

__attribute__((noinline)) int Mix(int a, int b) {
  int total = sample::SumOfSquares(a, b);
  for (int i = 0; i < a; ++i) total += sample::Square(i + b);
  sink = total;
  return total;
}

__attribute__((noinline)) void Rare(int code) {
  if (__builtin_expect(code == 12345, 0)) {
    sink = code;
    std::abort();
  }
  sink = code + 1;
}

}  // namespace

extern "C" __declspec(dllexport) int SampleEntry(int a, int b) {
  sample::Counter counter;
  Rare(a);
  return Mix(a, b) + counter.Twice(b);
}

extern "C" int SampleStatic(int x) { return Mix(x, x) * 3; }
