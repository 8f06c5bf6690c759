// The engine's control requests driven by arbitrary bytes: one input is a
// short program of control requests and image-file writes, run against the
// engine booted in-process in the kernel stand-in. After each input every
// volume is removed again and the pool, MDL pages, mappings and kernel
// handles must be back where they were.
//
// Both the libFuzzer binary (fuzz_main.cpp) and the corpus replay test call
// this entry, so an input behaves the same in both.
//
// Input layout, step after step until the bytes run out (at most kMaxSteps):
//
//   u8  selector   0..17: the control code ENGINE_FUNCTION_FIRST + selector
//                  18:    write bytes into an image file
//                  19:    a code outside the engine's table (function
//                         0x800 + (flags & 0x3F), method and access from the
//                         length bytes)
//                  20:    make calls of one kind fail during the next
//                         step (bw::InjectFault): kind flags & 3 (pool,
//                         pages, mappings, host files), the first
//                         `extra` calls of the kind succeed, then
//                         1 + (flags >> 2 & 15) fail
//                  other values: selector % 21
//   u8  flags      for a control request:
//                    0x01 put a live volume handle into the record's handle
//                         field (slot (flags >> 4) & 7 of the handles seen)
//                    0x02 rebuild a record with strings so that its lengths
//                         add up (CreateImage, MountImage,
//                         CreateMemoryVolume, SaveImage, FormatVolume,
//                         AddAutoVolume); RegisterNotify: put in the
//                         sending thread's handle
//                    0x04 with 0x02: name an image file (else no path)
//                    0x08 which of the two image files
//                    0x80 send from the 32-bit process
//                  for an image write:
//                    0x01 which file; 0x02 cut the file to the end of the
//                    write; 0x04 copy the other file first
//   u16 length     bytes of the step that follow (input of a request, data
//                  of a write); clipped to what is left
//   u16 extra      a request's output length; a write's offset in 64-byte
//                  units
//
// Sizes of memory volumes and images are folded into at most
// kMaxVolumeBytes so that every run stays small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace enginefuzz {

inline constexpr size_t kMaxSteps = 24;
inline constexpr uint64_t kMaxVolumeBytes = 4ull << 20;
inline constexpr size_t kStepHeaderBytes = 6;
inline constexpr uint8_t kSelectorImageWrite = 18;
inline constexpr uint8_t kSelectorForeignCode = 19;
inline constexpr uint8_t kSelectorFault = 20;
inline constexpr uint8_t kSelectorCount = 21;

class Harness {
 public:
  Harness();
  ~Harness();
  Harness(const Harness &) = delete;
  Harness &operator=(const Harness &) = delete;

  // Boots the stand-in on a fresh temporary root, loads the bus and engine
  // drivers from BinDir and opens the control device from two user
  // processes (64-bit and 32-bit). False with *Error on failure.
  bool Start(const std::string &binDir, std::string *error);
  // Runs one input. Returns an empty string when everything the input made
  // is gone again, else what was left behind or went wrong.
  std::string Run(const uint8_t *data, size_t size);
  // Closes the processes, unloads the drivers (reporting driver pool left
  // behind) and shuts the stand-in down. Returns what was left behind.
  std::string Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace enginefuzz
