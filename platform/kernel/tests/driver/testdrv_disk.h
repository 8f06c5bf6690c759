// The test driver's disks: small devices that keep their bytes in pool and
// read and write them at the request's offset, checking alignment and
// bounds as a disk does. They prove how user requests reach a device.
#pragma once

#include <ntddk.h>

// Records of the last request a disk saw, answered to kTestDiskLastRequest.
struct TestDiskRequest {
  ULONG64 userBuffer;  // Irp->UserBuffer
  ULONG64 mdlAddress;  // virtual address the MDL describes, 0 without one
  ULONG mdlBytes;
  ULONG flags;  // kTestDisk... below
  ULONG requestorMode;
  ULONG majorFunction;
};
constexpr ULONG kTestDiskHadMdl = 0x1;
constexpr ULONG kTestDiskHadSystemBuffer = 0x2;
constexpr ULONG kTestDiskMdlIsUserBuffer = 0x4;        // the MDL describes the caller's pages
constexpr ULONG kTestDiskMdlOfCaller = 0x8;            // ... of the requesting process
constexpr ULONG kTestDiskMappedWhereDescribed = 0x10;  // its system address is that memory

constexpr ULONG kTestDiskLastRequest = CTL_CODE(0x22, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The disks answer the mount manager's questions as a volume does: their
// device name, a unique id (by default "id:" and the device name's bytes)
// and a suggested link (none by default). kTestDiskSetIdentity changes the
// last two: input a TestDiskIdentity, then the id's bytes, then the link's
// characters (a length of 0: none). kTestDiskLinkLog answers a
// TestDiskLinkLog: the links the mount manager said it created or deleted.
constexpr ULONG kTestDiskSetIdentity = CTL_CODE(0x22, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTestDiskLinkLog = CTL_CODE(0x22, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS);
struct TestDiskIdentity {
  USHORT uniqueIdLength;  // bytes, at most 64
  USHORT suggestedLength; // bytes, at most 64
};
struct TestDiskLinkLog {
  ULONG created;
  ULONG deleted;
  USHORT lastLength;  // bytes of the last link named
  WCHAR last[64];
};

// Creates the disks; false leaves none behind.
NTSTATUS CreateTestDisks(PDRIVER_OBJECT driver);
void DeleteTestDisks();
// Whether a request for `device` is a disk's, and its dispatch.
bool IsTestDisk(PDEVICE_OBJECT device);
NTSTATUS DispatchTestDisk(PDEVICE_OBJECT device, PIRP irp);
