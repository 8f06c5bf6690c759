#include "bus/tests/bus_fixture.h"

#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "tests/support/status_matchers.h"

#include <cstring>

namespace bus_test {
namespace {

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

AddDiskRequest DiskRequest(uint64_t context, uint64_t size, uint16_t sectorSize, uint32_t flags) {
  AddDiskRequest request{};
  request.RequestFlags = flags;
  request.EngineContext = context;
  request.DiskSize = size;
  request.SectorSize = sectorSize;
  request.AlignmentRequirement = 0;
  request.MaximumTransferLength = 0x8000000;
  request.Geometry.Cylinders = size / (255ull * 63 * sectorSize);
  request.Geometry.MediaType = (flags & BUS_REQUEST_REMOVABLE) ? 11 : 12;
  request.Geometry.TracksPerCylinder = 255;
  request.Geometry.SectorsPerTrack = 63;
  request.Geometry.BytesPerSector = sectorSize;
  return request;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

void BusTest::SetUp() {
  BootedKernelTest::SetUp();
  ResetEngine();
  LoadDrivers();
  StartBus();
}

void BusTest::LoadDrivers() {
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, bw::LoadDriver(std::string(BW_BIN_DIR) + "/bus_test_disk.sys", u"disk", &error))
      << error;
  ASSERT_STATUS(STATUS_SUCCESS, bw::LoadDriver(std::string(BW_BIN_DIR) + "/ramenum.sys", u"ramenum", &error))
      << error;
  loaded_ = true;
  OpenControl();
}

void BusTest::OpenControl() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, BUS_CONTROL_DEVICE_NAME);
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file_, &control_));
  EngineInterface routines = EngineRegistration();
  ASSERT_STATUS(STATUS_SUCCESS, Control(IOCTL_BUS_REGISTER_ENGINE, &routines, sizeof(routines), 0).status);
}

void BusTest::StartBus() {
  std::u16string path;
  ASSERT_STATUS(STATUS_SUCCESS, bw::CreateRootDevice(u"Root\\BWRD", u"ramenum", &path));
  ASSERT_TRUE(bw::WaitForPnpIdle());
  bool started = false;
  for (const bw::DevNodeInfo &node : bw::DevNodes())
    if (node.instancePath == path) started = node.state == "started";
  ASSERT_TRUE(started) << bw::DescribeDevNodes();
}

void BusTest::TearDown() {
  if (file_) ObDereferenceObject(file_);
  bw::RemoveDeviceTree();
  bw::WaitForPnpIdle();
  if (loaded_) {
    EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(u"ramenum"));
    EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(u"disk"));
  }
  BootedKernelTest::TearDown();
}

Reply BusTest::Control(ULONG code, const void *input, ULONG inputLength, ULONG outputLength) {
  std::vector<uint8_t> in(static_cast<const uint8_t *>(input), static_cast<const uint8_t *>(input) + inputLength);
  Reply reply{STATUS_SUCCESS, 0, std::vector<uint8_t>(outputLength)};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, control_, in.empty() ? nullptr : in.data(), inputLength,
                                           reply.output.empty() ? nullptr : reply.output.data(), outputLength, TRUE,
                                           &event, &iosb);
  reply.status = IoCallDriver(control_, irp);
  if (reply.status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    reply.status = iosb.Status;
  }
  reply.information = iosb.Information;
  return reply;
}

NTSTATUS BusTest::AddDisk(const AddDiskRequest &request, PDEVICE_OBJECT *child) {
  {
    std::lock_guard<std::mutex> lock(Engine().mutex);
    uint64_t context = request.EngineContext, size = request.DiskSize;  // the request is packed
    Engine().disks[context].assign(size < (64u << 20) ? size : 0, 0);
  }
  Reply reply = Control(IOCTL_BUS_ADD_DISK, &request, sizeof(request), 8);
  uint64_t device = 0;
  std::memcpy(&device, reply.output.data(), 8);
  *child = NT_SUCCESS(reply.status) ? reinterpret_cast<PDEVICE_OBJECT>(static_cast<uintptr_t>(device)) : nullptr;
  return reply.status;
}

NTSTATUS BusTest::RemoveDisk(uint64_t context) {
  RemoveDiskRequest request{0, context};
  NTSTATUS status = Control(IOCTL_BUS_REMOVE_DISK, &request, sizeof(request), 0).status;
  bw::WaitForPnpIdle();
  return status;
}

Reply BusTest::DeviceControl(PDEVICE_OBJECT device, ULONG code, const void *input, ULONG inputLength,
                             ULONG outputLength) {
  std::vector<uint8_t> in(static_cast<const uint8_t *>(input), static_cast<const uint8_t *>(input) + inputLength);
  Reply reply{STATUS_SUCCESS, 0, std::vector<uint8_t>(outputLength, 0xCC)};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(), inputLength,
                                           reply.output.empty() ? nullptr : reply.output.data(), outputLength, FALSE,
                                           &event, &iosb);
  reply.status = IoCallDriver(device, irp);
  if (reply.status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    reply.status = iosb.Status;
  }
  reply.information = iosb.Information;
  return reply;
}

std::vector<std::u16string> BusTest::ChildDeviceIds() {
  std::vector<std::u16string> ids;
  for (const bw::DevNodeInfo &node : bw::DevNodes())
    if (node.depth == 2 && node.state != "removed") ids.push_back(node.deviceId);
  return ids;
}

}  // namespace bus_test
