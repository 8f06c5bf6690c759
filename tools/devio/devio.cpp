// devio: sends one request to a device and prints how it completed.
//   devio [--wow64] PATH CODE [INPUT_HEX] [--out N]   a device-control request
//   devio [--wow64] PATH --read OFFSET LENGTH          a read
//   devio [--wow64] PATH --write OFFSET HEX            a write
// PATH is a Win32 device path such as \\.\BrimwellVolume or
// \\.\GLOBALROOT\Device\...; numbers are 0x... or decimal; hex bytes may
// be spaced. Prints "status=0x%08X information=%u", then for device control
// and reads the bytes returned in hex. Exits 0 when the request succeeded,
// 1 when it failed (a request that never reached the device is reported as
// "devio: ... error N (NAME)"), 2 on a usage error.
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONG_PTR kStatusPending = 0x103;

const char kUsage[] =
    "usage: devio [--wow64] PATH CODE [INPUT_HEX] [--out N]\n"
    "       devio [--wow64] PATH --read OFFSET LENGTH\n"
    "       devio [--wow64] PATH --write OFFSET HEX\n"
    "Sends one request to the device PATH (\\\\.\\NAME, \\\\.\\GLOBALROOT\\Device\\NAME) and\n"
    "prints \"status=0x%08X information=%u\", then the bytes returned in hex.\n"
    "  CODE [INPUT_HEX] [--out N]  device control with the input bytes and an output\n"
    "                              buffer of N bytes (default 0)\n"
    "  --read OFFSET LENGTH        reads LENGTH bytes at OFFSET\n"
    "  --write OFFSET HEX          writes the bytes at OFFSET\n"
    "  --wow64                     the request comes from a 32-bit process\n"
    "Exit status: 0 success, 1 the request failed, 2 usage.\n";

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

bool ParseNumber(const char *text, unsigned long long limit, unsigned long long *value) {
  char *end = nullptr;
  errno = 0;
  *value = strtoull(text, &end, 0);
  return errno == 0 && end && *end == 0 && *text && *text != '-' && *value <= limit;
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

// The names of the errors this system's calls give.
const char *ErrorName(DWORD error) {
  static const struct {
    DWORD code;
    const char *name;
  } kNames[] = {
      {ERROR_SUCCESS, "ERROR_SUCCESS"},
      {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
      {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
      {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
      {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT"},
      {ERROR_NOT_READY, "ERROR_NOT_READY"},
      {ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND"},
      {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
      {ERROR_HANDLE_EOF, "ERROR_HANDLE_EOF"},
      {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
      {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
      {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
      {ERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME"},
      {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
      {ERROR_NOACCESS, "ERROR_NOACCESS"},
      {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"},
      {ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED"},
      {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
  };
  for (const auto &n : kNames)
    if (n.code == error) return n.name;
  return "unnamed";
}

void PrintError(const char *what, DWORD error) {
  fprintf(stderr, "devio: %s failed: error %u (%s)\n", what, static_cast<unsigned>(error),
          ErrorName(error));
}

void PrintBytes(const unsigned char *bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) printf(i ? " %02X" : "%02X", bytes[i]);
  printf("\n");
}

// How a request ended: the status line when it reached the device (its
// status block was filled), else the error of the call.
int Report(const char *what, BOOL ok, const OVERLAPPED &result) {
  if (result.Internal == kStatusPending) {
    PrintError(what, GetLastError());
    return 1;
  }
  printf("status=0x%08X information=%u\n", static_cast<unsigned>(result.Internal),
         static_cast<unsigned>(result.InternalHigh));
  return ok ? 0 : 1;
}

struct Arguments {
  bool wow64 = false;
  enum { Control, Read, Write } kind = Control;
  std::string path;
  unsigned long long code = 0;
  unsigned long long offset = 0;
  unsigned long long length = 0;     // output buffer or read length
  std::vector<unsigned char> bytes;  // control input or data to write
};

// 0 when the arguments make a request, else the exit code.
int Parse(int argc, char **argv, Arguments *a) {
  std::vector<std::string> positional;
  bool read = false, write = false, out = false;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
      fputs(kUsage, stdout);
      return -1;
    } else if (!strcmp(argv[i], "--wow64")) {
      a->wow64 = true;
    } else if (!strcmp(argv[i], "--out")) {
      if (i + 1 >= argc || !ParseNumber(argv[++i], 0xFFFFFFFFull, &a->length)) return Usage();
      out = true;
    } else if (!strcmp(argv[i], "--read")) {
      read = true;
    } else if (!strcmp(argv[i], "--write")) {
      write = true;
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.empty() || (read && write) || ((read || write) && out)) return Usage();
  a->path = positional[0];
  if (read) {
    a->kind = Arguments::Read;
    if (positional.size() != 3 || !ParseNumber(positional[1].c_str(), ~0ull >> 1, &a->offset) ||
        !ParseNumber(positional[2].c_str(), 0xFFFFFFFFull, &a->length))
      return Usage();
    return 0;
  }
  if (write) {
    a->kind = Arguments::Write;
    if (positional.size() != 3 || !ParseNumber(positional[1].c_str(), ~0ull >> 1, &a->offset))
      return Usage();
    if (!ParseHex(positional[2], &a->bytes)) {
      fprintf(stderr, "devio: the data is not hex bytes\n");
      return 2;
    }
    return 0;
  }
  if (positional.size() < 2 || positional.size() > 3 ||
      !ParseNumber(positional[1].c_str(), 0xFFFFFFFFull, &a->code))
    return Usage();
  if (positional.size() == 3 && !ParseHex(positional[2], &a->bytes)) {
    fprintf(stderr, "devio: the input is not hex bytes\n");
    return 2;
  }
  return 0;
}

HANDLE Open(const Arguments &a) {
  std::u16string path = Widen(a.path.c_str());
  auto open = [&](DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  };
  HANDLE device;
  if (a.kind == Arguments::Read) {
    device = open(GENERIC_READ);
  } else {
    device = open(GENERIC_READ | GENERIC_WRITE);
    // A device that cannot be written still answers device control.
    if (device == INVALID_HANDLE_VALUE && a.kind == Arguments::Control &&
        GetLastError() == ERROR_WRITE_PROTECT)
      device = open(GENERIC_READ);
  }
  if (device == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    fprintf(stderr, "devio: cannot open %s (error %u, %s)\n", a.path.c_str(),
            static_cast<unsigned>(error), ErrorName(error));
  }
  return device;
}

int Control(HANDLE device, const Arguments &a) {
  std::vector<unsigned char> output(a.length);
  OVERLAPPED result{};
  DWORD returned = 0;
  std::vector<unsigned char> input = a.bytes;
  BOOL ok =
      DeviceIoControl(device, static_cast<DWORD>(a.code), input.empty() ? nullptr : input.data(),
                      static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                      static_cast<DWORD>(output.size()), &returned, &result);
  int exitCode = Report("DeviceIoControl", ok, result);
  if (result.Internal != kStatusPending)
    PrintBytes(output.data(), returned < output.size() ? returned : output.size());
  return exitCode;
}

int ReadBytes(HANDLE device, const Arguments &a) {
  std::vector<unsigned char> data(a.length);
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(a.offset);
  at.OffsetHigh = static_cast<DWORD>(a.offset >> 32);
  DWORD read = 0;
  BOOL ok = ReadFile(device, data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()),
                     &read, &at);
  int exitCode = Report("ReadFile", ok, at);
  if (at.Internal != kStatusPending)
    PrintBytes(data.data(), read < data.size() ? read : data.size());
  return exitCode;
}

int WriteBytes(HANDLE device, const Arguments &a) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(a.offset);
  at.OffsetHigh = static_cast<DWORD>(a.offset >> 32);
  DWORD written = 0;
  BOOL ok = WriteFile(device, a.bytes.empty() ? nullptr : a.bytes.data(),
                      static_cast<DWORD>(a.bytes.size()), &written, &at);
  return Report("WriteFile", ok, at);
}

}  // namespace

int main(int argc, char **argv) {
  Arguments a;
  if (int code = Parse(argc, argv, &a)) return code < 0 ? 0 : code;
  if (a.wow64) BwDeclareWow64Process(TRUE);
  HANDLE device = Open(a);
  if (device == INVALID_HANDLE_VALUE) return 1;
  int exitCode = a.kind == Arguments::Read    ? ReadBytes(device, a)
                 : a.kind == Arguments::Write ? WriteBytes(device, a)
                                              : Control(device, a);
  if (!CloseHandle(device)) {
    PrintError("CloseHandle", GetLastError());
    exitCode = 1;
  }
  fflush(stdout);
  return exitCode;
}
