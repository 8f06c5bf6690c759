// What the in-process benchmarks share: timing a piece of work, stopping on
// a failed kernel call, and printing a figure against its anchor.
#pragma once

#include "bw/host.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace bench {

inline double Seconds(const std::function<void()> &work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline void Check(NTSTATUS status, const char *what) {
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "%s failed: %s\n", what, bw::StatusText(status).c_str());
    exit(1);
  }
}

inline void Report(const char *name, const char *measure, double value, const char *anchor, double anchorValue,
                   double ratio, const char *target, bool pass) {
  printf("%-8s %s %.3f | anchor %s %.3f | ratio %.3f (target %s) %s\n", name, measure, value, anchor, anchorValue,
         ratio, target, pass ? "PASS" : "MISS");
  fflush(stdout);
}

}  // namespace bench
