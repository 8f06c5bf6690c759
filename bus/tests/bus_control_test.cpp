// The bus driver's control device and the engine registration.
#include "bus/protocol/bus_protocol.h"
#include "bw/host.h"
#include "bw/user_session.h"
#include "tests/support/booted_kernel.h"
#include "tests/support/status_matchers.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr char16_t kBusService[] = u"BWRDPort";

class BusControl : public bw::test::BootedKernelTest {
 protected:
  void SetUp() override {
    BootedKernelTest::SetUp();
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, bw::LoadDriver(std::string(BW_BIN_DIR) + "/ramenum.sys", kBusService, &error))
        << error;
    loaded_ = true;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, BUS_CONTROL_DEVICE_NAME);
    ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file_, &device_));
  }

  void TearDown() override {
    if (file_) ObDereferenceObject(file_);
    if (loaded_) {
      EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kBusService));
    }
    EXPECT_FALSE(bw::ObjectExists(BUS_CONTROL_DEVICE_NAME));
    BootedKernelTest::TearDown();
  }

  // A request as the engine sends it: internal device control, kernel mode.
  NTSTATUS Send(ULONG code, const void *input, ULONG inputLength, ULONG outputLength, BOOLEAN internal,
                IO_STATUS_BLOCK *iosb) {
    std::vector<uint8_t> in(static_cast<const uint8_t *>(input), static_cast<const uint8_t *>(input) + inputLength);
    std::vector<uint8_t> out(outputLength);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device_, in.empty() ? nullptr : in.data(), inputLength,
                                             out.empty() ? nullptr : out.data(), outputLength, internal, &event,
                                             iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb->Status;
    }
    return status;
  }

  static EngineInterface Registration(uint64_t event) {
    EngineInterface routines{};
    routines.EventRoutine = event;
    routines.ReadRoutine = 0x2000;
    routines.WriteRoutine = 0x3000;
    routines.QueryRoutine = 0x4000;
    return routines;
  }

  bool loaded_ = false;
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(BusControl, ControlDeviceExists) { EXPECT_TRUE(bw::ObjectExists(BUS_CONTROL_DEVICE_NAME)); }

TEST_F(BusControl, RegistrationNeedsExactly36Bytes) {
  EngineInterface routines = Registration(0x1000);
  uint8_t bytes[40] = {};
  std::memcpy(bytes, &routines, sizeof(routines));
  IO_STATUS_BLOCK iosb{};
  for (ULONG length : {0u, 35u, 37u, 40u}) {
    SCOPED_TRACE(length);
    EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, Send(IOCTL_BUS_REGISTER_ENGINE, bytes, length, 0, TRUE, &iosb));
    EXPECT_EQ(0u, iosb.Information);
  }
  EXPECT_STATUS(STATUS_SUCCESS, Send(IOCTL_BUS_REGISTER_ENGINE, bytes, 36, 0, TRUE, &iosb));
  EXPECT_EQ(0u, iosb.Information);
}

TEST_F(BusControl, RegistrationNeedsAnEventRoutine) {
  EngineInterface routines = Registration(0);
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_INVALID_USER_BUFFER,
                Send(IOCTL_BUS_REGISTER_ENGINE, &routines, sizeof(routines), 0, TRUE, &iosb));
}

TEST_F(BusControl, LaterRegistrationReplacesTheEarlier) {
  IO_STATUS_BLOCK iosb{};
  EngineInterface first = Registration(0x1000), second = Registration(0x5000);
  EXPECT_STATUS(STATUS_SUCCESS, Send(IOCTL_BUS_REGISTER_ENGINE, &first, sizeof(first), 0, TRUE, &iosb));
  EXPECT_STATUS(STATUS_SUCCESS, Send(IOCTL_BUS_REGISTER_ENGINE, &second, sizeof(second), 0, TRUE, &iosb));
}

TEST_F(BusControl, OtherCodesAreRefused) {
  IO_STATUS_BLOCK iosb{};
  uint8_t bytes[64] = {};
  for (ULONG code : {0x222000u, 0x222040u, 0x222005u, 0x00070000u}) {
    SCOPED_TRACE(code);
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Send(code, bytes, 36, 0, TRUE, &iosb));
  }
  // The registration is an internal request only.
  EngineInterface routines = Registration(0x1000);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                Send(IOCTL_BUS_REGISTER_ENGINE, &routines, sizeof(routines), 0, FALSE, &iosb));
}

// A user process may open the device but cannot hand the bus kernel addresses.
TEST_F(BusControl, UserModeCannotRegister) {
  bw::ProcessOptions options;
  options.uid = 1000;
  options.gid = 1000;
  auto process = bw::CreateUserProcess(options);
  auto thread = process->CreateThread(1);
  HANDLE handle = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, BUS_CONTROL_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                                    FILE_SYNCHRONOUS_IO_NONALERT, &handle));
  EngineInterface routines = Registration(0x1000);
  bw::IoResult result =
      process->DeviceIoControl(*thread, handle, IOCTL_BUS_REGISTER_ENGINE, &routines, sizeof(routines), 0);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, result.status);
  process->Close(handle);
  process->Terminate();
}

}  // namespace
