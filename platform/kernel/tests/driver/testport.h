// The test port (testport.sys): a small storage bus for the disk class
// driver's tests. Its bus device sits on the root device "Root\BWTESTPORT"
// (service "BwTestPort"); it presents disks as children with compatible id
// "GenDisk" that answer SCSI request blocks over memory of their own, and
// counts what they were asked. Tests drive it through "\Device\BwTestPort".
#pragma once

#include <ntddk.h>

constexpr ULONG kTestPortAddDisk = CTL_CODE(0x22, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTestPortRemoveDisk = CTL_CODE(0x22, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTestPortCounts = CTL_CODE(0x22, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Sent to a disk, answered by the port itself: proves a request the disk
// class driver does not handle reaches the port.
constexpr ULONG kTestPortEcho = CTL_CODE(0x22, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTestPortEchoAnswer = 0x504F5254;

constexpr ULONG kTestPortRemovable = 0x1;
constexpr ULONG kTestPortWriteProtected = 0x2;

// kTestPortAddDisk input; the output is the disk's ordinal (ULONG).
struct TestPortDisk {
  ULONG64 size;  // bytes; the memory is taken as it is written (zeros before)
  ULONG sectorSize;
  ULONG maxTransfer;  // the adapter's MaximumTransferLength
  ULONG flags;
};

// kTestPortCounts: input the ordinal, output these counts of its SRBs.
struct TestPortCounts {
  ULONG claims;
  ULONG testUnitReady;
  ULONG inquiries;
  ULONG capacity10;
  ULONG capacity16;
  ULONG modeSense;
  ULONG startStop;
  ULONG ejects;
  ULONG synchronizeCache;
  ULONG read10, write10, read16, write16;
  ULONG largestTransfer;  // bytes of the largest read or write
};
