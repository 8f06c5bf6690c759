// A booted kernel with the bus driver started on "Root\BWRD" by the PnP
// manager, the stand-in disk class driver loaded as "disk", and the test
// engine registered: what the bus's kernel tests run on.
#pragma once

#include "bus/protocol/bus_protocol.h"
#include "bus/tests/bus_test_engine.h"
#include "tests/support/booted_kernel.h"

#include <ntddk.h>

#include <string>
#include <vector>

namespace bus_test {

// An add-disk request of Size bytes with SectorSize-byte sectors.
AddDiskRequest DiskRequest(uint64_t context, uint64_t size, uint16_t sectorSize = 512, uint32_t flags = 0);

struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  std::vector<uint8_t> output;
};

class BusTest : public bw::test::BootedKernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the drivers and registers the engine, without a bus device yet.
  void LoadDrivers();
  // Opens the control device and registers the test engine.
  void OpenControl();
  // Creates "Root\BWRD" and waits until the PnP manager has started it.
  void StartBus();

  // An engine request to the control device (internal, kernel mode).
  Reply Control(ULONG code, const void *input, ULONG inputLength, ULONG outputLength);
  // Adds a disk whose contents the test engine keeps; *child is null on failure.
  NTSTATUS AddDisk(const AddDiskRequest &request, PDEVICE_OBJECT *child);
  NTSTATUS RemoveDisk(uint64_t context);

  // Requests straight to a child (or any device).
  static Reply DeviceControl(PDEVICE_OBJECT device, ULONG code, const void *input, ULONG inputLength,
                             ULONG outputLength);
  // A PnP or power request with its stack location filled by `fill`.
  template <typename Fill>
  static NTSTATUS Irp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, Fill fill, ULONG_PTR *information = nullptr);

  // Names of the PnP manager's devnodes below the bus (the children).
  std::vector<std::u16string> ChildDeviceIds();

  bool loaded_ = false;
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT control_ = nullptr;
};

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp);

template <typename Fill>
NTSTATUS BusTest::Irp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, Fill fill, ULONG_PTR *information) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  fill(next, irp);
  NTSTATUS status = SendAndWait(device, irp);
  if (information) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

}  // namespace bus_test
