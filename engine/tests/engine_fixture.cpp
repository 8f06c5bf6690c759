#include "engine/tests/engine_fixture.h"

#include "bw/pnp.h"

#include <dlfcn.h>

#include <sstream>

namespace enginetest {

std::string BinPath(const char *module) { return std::string(BW_BIN_DIR) + "/" + module; }

bool IsDriverTag(ULONG tag) {
  char first = static_cast<char>(tag & 0xFF);
  char second = static_cast<char>((tag >> 8) & 0xFF);
  return first == 'X' || (first == 'V' && (second == 'V' || second == 'h'));
}

std::string DriverPoolLeaks() {
  std::ostringstream out;
  for (const auto &usage : bw::PoolUsage())
    if (IsDriverTag(usage.tag) && usage.allocations != 0)
      out << bw::TagName(usage.tag) << ": " << usage.allocations << " (" << usage.bytes << " bytes)\n";
  return out.str();
}

NTSTATUS CreateServiceKey(std::u16string_view service) {
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service);
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
  if (NT_SUCCESS(status)) ZwClose(key);
  return status;
}

void KernelFixture::SetUp() {
  BootedKernelTest::SetUp();
  ASSERT_STATUS(STATUS_SUCCESS, CreateServiceKey(kEngineService));
  ASSERT_STATUS(STATUS_SUCCESS, CreateServiceKey(kBusService));
  // Windows' own drivers come first, as at every start of the system.
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, bw::LoadSystemDrivers(BW_BIN_DIR, &error)) << error;
  systemLoaded_ = true;
}

NTSTATUS KernelFixture::LoadBus() {
  std::string error;
  NTSTATUS status = bw::LoadDriver(BinPath("ramenum.sys"), kBusService, &error);
  busLoaded_ = NT_SUCCESS(status);
  if (!busLoaded_) return status;
  // The bus starts on its root device, as setup installs it.
  status = bw::CreateRootDevice(u"Root\\BWRD", kBusService, nullptr);
  if (NT_SUCCESS(status) && !bw::WaitForPnpIdle()) status = STATUS_TIMEOUT;
  return status;
}

NTSTATUS KernelFixture::LoadEngine() {
  std::string error;
  NTSTATUS status = bw::LoadDriver(BinPath(EngineModule()), kEngineService, &error);
  engineLoaded_ = NT_SUCCESS(status);
  return status;
}

void KernelFixture::UnloadAll() {
  if (control_ && process_) process_->Close(control_);
  control_ = nullptr;
  thread_.reset();
  if (process_) process_->Terminate();
  process_.reset();
  if (engineLoaded_) {
    EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kEngineService));
  }
  if (busLoaded_) {
    EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kBusService));
  }
  engineLoaded_ = busLoaded_ = false;
  if (systemLoaded_) bw::UnloadSystemDrivers();
  systemLoaded_ = false;
}

void KernelFixture::TearDown() {
  UnloadAll();
  BootedKernelTest::TearDown();
}

void KernelFixture::StartEngineWithClient(uint32_t tid) {
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
  process_ = NewProcess();
  thread_ = process_->CreateThread(tid);
  control_ = OpenControl(*process_, *thread_);
}

void *KernelFixture::EngineSymbol(const char *name) const {
  // The loader holds the module; this only looks the symbol up in it.
  void *module = bw::LoadedDriverModule(BinPath(EngineModule()));
  return module ? dlsym(module, name) : nullptr;
}

UNICODE_STRING View(const char16_t *text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

std::u16string Text(PCUNICODE_STRING string) { return std::u16string(string->Buffer, string->Length / 2); }

std::map<std::u16string, std::vector<uint8_t>> MountedDevicesValues() {
  std::map<std::u16string, std::vector<uint8_t>> values;
  UNICODE_STRING path = View(u"\\Registry\\Machine\\System\\MountedDevices");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return values;
  alignas(8) UCHAR buffer[4096];
  ULONG length;
  for (ULONG index = 0; NT_SUCCESS(ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer, sizeof(buffer),
                                                        &length));
       ++index) {
    auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    auto *data = buffer + info->DataOffset;
    values[std::u16string(info->Name, info->NameLength / 2)] = std::vector<uint8_t>(data, data + info->DataLength);
  }
  ZwClose(key);
  return values;
}

std::shared_ptr<bw::UserProcess> KernelFixture::NewProcess(bool wow64, uint32_t pid) {
  bw::ProcessOptions options;
  options.wow64 = wow64;
  options.pid = pid;
  options.uid = 1000;
  options.gid = 1000;
  options.imageName = wow64 ? "ramdeck32.exe" : "ramdeck.exe";
  return bw::CreateUserProcess(options);
}

HANDLE KernelFixture::OpenControl(bw::UserProcess &process, bw::UserThread &thread) {
  HANDLE handle = nullptr;
  NTSTATUS status = process.CreateFile(thread, ENGINE_SYMBOLIC_LINK_NAME, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                       FILE_SYNCHRONOUS_IO_NONALERT, &handle);
  EXPECT_STATUS(STATUS_SUCCESS, status);
  return handle;
}

bw::IoResult KernelFixture::Control(ULONG code, const Record &input, ULONG outputLength) {
  return Control(code, input.Bytes().data(), static_cast<ULONG>(input.Size()), outputLength);
}

bw::IoResult KernelFixture::Control(ULONG code, const void *input, ULONG inputLength, ULONG outputLength) {
  return process_->DeviceIoControl(*thread_, control_, code, inputLength ? input : nullptr, inputLength,
                                   outputLength);
}

}  // namespace enginetest
