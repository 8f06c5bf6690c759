// devio: sends one device-control request and prints how it completed.
//   devio [--wow64] PATH CODE [INPUT_HEX] [--out N]
// PATH is a Win32 device path such as \\.\BrimwellVolume; CODE is the
// control code (0x... or decimal); INPUT_HEX the input bytes in hex (spaces
// allowed); N the output buffer size (default 0). Prints
// "status=0x%08X information=%u" and then the output bytes in hex.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Usage() {
  fprintf(stderr, "usage: devio [--wow64] PATH CODE [INPUT_HEX] [--out N]\n");
  return 2;
}

bool ParseNumber(const char *text, unsigned long *value) {
  char *end = nullptr;
  errno = 0;
  *value = strtoul(text, &end, 0);
  return errno == 0 && end && *end == 0 && *text;
}

bool ParseHex(const std::string &text, std::vector<unsigned char> *bytes) {
  std::string digits;
  for (char c : text) {
    if (isspace(static_cast<unsigned char>(c))) continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes->push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

std::u16string Widen(const char *text) {
  std::u16string s;
  for (const char *p = text; *p; ++p) s += static_cast<char16_t>(static_cast<unsigned char>(*p));
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> positional;
  unsigned long outLength = 0;
  bool wow64 = false;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--wow64")) {
      wow64 = true;
    } else if (!strcmp(argv[i], "--out")) {
      if (i + 1 >= argc || !ParseNumber(argv[++i], &outLength)) return Usage();
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() < 2 || positional.size() > 3) return Usage();
  unsigned long code = 0;
  if (!ParseNumber(positional[1].c_str(), &code) || code > 0xFFFFFFFFul) return Usage();
  std::vector<unsigned char> input;
  if (positional.size() == 3 && !ParseHex(positional[2], &input)) {
    fprintf(stderr, "devio: the input is not hex bytes\n");
    return 2;
  }
  if (outLength > (1u << 20)) {
    fprintf(stderr, "devio: the output buffer may hold at most 1048576 bytes\n");
    return 2;
  }
  if (wow64) BwDeclareWow64Process(TRUE);

  std::u16string path = Widen(positional[0].c_str());
  HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "devio: cannot open %s (error %u)\n", positional[0].c_str(), GetLastError());
    return 1;
  }
  std::vector<unsigned char> output(outLength);
  OVERLAPPED result{};
  DWORD returned = 0;
  DeviceIoControl(device, static_cast<DWORD>(code), input.empty() ? nullptr : input.data(),
                  static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                  static_cast<DWORD>(output.size()), &returned, &result);
  printf("status=0x%08X information=%u\n", static_cast<unsigned>(result.Internal),
         static_cast<unsigned>(result.InternalHigh));
  size_t shown = returned < output.size() ? returned : output.size();
  for (size_t i = 0; i < shown; ++i) printf(i ? " %02X" : "%02X", output[i]);
  printf("\n");
  CloseHandle(device);
  return 0;
}
