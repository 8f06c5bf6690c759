// Every input of the fuzzing corpus, replayed through the fuzzer's own entry
// against a freshly booted engine: nothing crashes, and each input leaves no
// volume, pool allocation, MDL page, mapping or kernel handle behind.
#include "tests/fuzz/engine_fuzz.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(BW_FUZZ_CORPUS, error))
    if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  return files;
}

// "mount_image_bad_header.bin" -> "MountImageBadHeader".
std::string TestNameOf(const std::string &file) {
  std::string name;
  bool upper = true;
  for (char c : file.substr(0, file.find('.'))) {
    if (!std::isalnum(static_cast<unsigned char>(c))) {
      upper = true;
      continue;
    }
    name.push_back(upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
    upper = false;
  }
  return name;
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CorpusReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusReplay, InputLeavesTheEngineAsItFoundIt) {
  std::vector<uint8_t> input = ReadFile(std::string(BW_FUZZ_CORPUS) + "/" + GetParam());
  ASSERT_FALSE(input.empty()) << GetParam();
  enginefuzz::Harness harness;
  std::string error;
  ASSERT_TRUE(harness.Start(BW_BIN_DIR, &error)) << error;
  EXPECT_EQ("", harness.Run(input.data(), input.size()));
  // Twice: the second run finds what the first one may have spoilt.
  EXPECT_EQ("", harness.Run(input.data(), input.size()));
  EXPECT_EQ("", harness.Stop());
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusReplay, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string> &info) { return TestNameOf(info.param); });

TEST(CorpusReplayCorpus, HoldsInputsForEveryControlCode) {
  // Step selectors that open some input of the corpus: every control code
  // and the image writes are reached from the start.
  std::vector<bool> seen(enginefuzz::kSelectorCount, false);
  for (const std::string &file : CorpusFiles()) {
    std::vector<uint8_t> input = ReadFile(std::string(BW_FUZZ_CORPUS) + "/" + file);
    size_t at = 0;
    for (size_t step = 0; step < enginefuzz::kMaxSteps && input.size() - at >= enginefuzz::kStepHeaderBytes;
         ++step) {
      seen[input[at] % enginefuzz::kSelectorCount] = true;
      uint16_t length = static_cast<uint16_t>(input[at + 2] | input[at + 3] << 8);
      at += enginefuzz::kStepHeaderBytes + std::min<size_t>(length, input.size() - at - enginefuzz::kStepHeaderBytes);
    }
  }
  for (uint8_t selector = 0; selector < enginefuzz::kSelectorCount; ++selector)
    EXPECT_TRUE(seen[selector]) << "no corpus input sends selector " << int(selector);
}

}  // namespace
