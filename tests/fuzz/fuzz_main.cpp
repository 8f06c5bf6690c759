// libFuzzer's entry points around the engine harness: one boot for the whole
// session, one harness run per input, and an abort naming what was left
// behind so that libFuzzer keeps the input.
#include "tests/fuzz/engine_fuzz.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

enginefuzz::Harness *harness = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  harness = new enginefuzz::Harness();
  std::string error;
  if (!harness->Start(BW_BIN_DIR, &error)) {
    std::fprintf(stderr, "engine fuzz: start failed: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string report = harness->Run(data, size);
  if (!report.empty()) {
    std::fprintf(stderr, "engine fuzz: the input left the engine changed:\n%s", report.c_str());
    std::abort();
  }
  return 0;
}
