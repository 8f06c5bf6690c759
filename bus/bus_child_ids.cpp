// What a child tells the PnP manager about itself: identifiers, texts, bus
// information, capabilities and its target relation.
#include "bus/bus.h"

namespace {

const WCHAR kHardwareId[] = KS_WSTR("BWRD\\Disk");
const WCHAR kCompatibleId[] = KS_WSTR("GenDisk");
const WCHAR kDescription[] = KS_WSTR("Brimwell Virtual Disk");
const WCHAR kLocation[] = KS_WSTR("Brimwell Virtual Bus");

constexpr ULONG kIdCharacters = 32;  // the longest id is 25 characters, plus terminators

// Appends Text (zero-terminated) at *Length; the buffer holds kIdCharacters.
VOID Append(PWCHAR Buffer, ULONG *Length, const WCHAR *Text) {
  while (*Text && *Length < kIdCharacters - 2) Buffer[(*Length)++] = *Text++;
}

VOID AppendHex8(PWCHAR Buffer, ULONG *Length, ULONG Value) {
  for (int shift = 28; shift >= 0; shift -= 4) {
    ULONG digit = (Value >> shift) & 0xF;
    Buffer[(*Length)++] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'A' + digit - 10);
  }
}

VOID AppendDecimal(PWCHAR Buffer, ULONG *Length, ULONG Value) {
  WCHAR digits[10];
  ULONG count = 0;
  do {
    digits[count++] = static_cast<WCHAR>('0' + Value % 10);
    Value /= 10;
  } while (Value);
  while (count) Buffer[(*Length)++] = digits[--count];
}

// A pool copy of Text with two terminating zeros (a one-entry multi-string,
// or a plain string with a spare zero), freed by the PnP manager.
PWCHAR PoolText(const WCHAR *Text) {
  SIZE_T length = 0;
  while (Text[length]) ++length;
  auto *copy = static_cast<PWCHAR>(
      ExAllocatePoolWithTag(PagedPool, (length + 2) * sizeof(WCHAR), BUS_TAG_PNP_REPLY));
  if (copy) {
    RtlCopyMemory(copy, Text, length * sizeof(WCHAR));
    copy[length] = 0;
    copy[length + 1] = 0;
  }
  return copy;
}

}  // namespace

NTSTATUS BusPdoQueryId(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack) {
  WCHAR text[kIdCharacters];
  ULONG length = 0;
  switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      Append(text, &length, KS_WSTR("BWRD\\"));
      AppendHex8(text, &length, Disk->Ordinal);
      break;
    case BusQueryInstanceID:
      Append(text, &length, KS_WSTR("5&101d9493&0&6&"));
      AppendDecimal(text, &length, Disk->Ordinal);
      break;
    case BusQueryHardwareIDs:
      Append(text, &length, kHardwareId);
      break;
    case BusQueryCompatibleIDs:
      Append(text, &length, kCompatibleId);
      break;
    default:
      return Irp->IoStatus.Status;
  }
  text[length] = 0;
  PWCHAR reply = PoolText(text);
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
  return STATUS_SUCCESS;
}

NTSTATUS BusPdoQueryDeviceText(PIRP Irp, PIO_STACK_LOCATION Stack) {
  const WCHAR *text = nullptr;
  if (Stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) text = kDescription;
  else if (Stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) text = kLocation;
  if (!text) return Irp->IoStatus.Status;
  PWCHAR reply = PoolText(text);
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
  return STATUS_SUCCESS;
}

NTSTATUS BusPdoQueryBusInformation(PIRP Irp) {
  auto *information = static_cast<PPNP_BUS_INFORMATION>(
      ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), BUS_TAG_PNP_REPLY));
  if (!information) return STATUS_INSUFFICIENT_RESOURCES;
  information->BusTypeGuid = BUS_INTERFACE_GUID;
  information->LegacyBusType = PNPBus;
  information->BusNumber = 0;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(information);
  return STATUS_SUCCESS;
}

NTSTATUS BusPdoQueryTargetRelation(VirtualDisk *Disk, PIRP Irp) {
  auto *relations = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BUS_TAG_RELATIONS));
  if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 1;
  relations->Objects[0] = Disk->Self;
  ObReferenceObject(Disk->Self);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

NTSTATUS BusPdoQueryCapabilities(VirtualDisk *Disk, PIO_STACK_LOCATION Stack) {
  PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  ULONG flags = Disk->DiskFlags;
  ULONG removable = (flags & BUS_DISK_REMOVABLE) != 0;
  caps->UniqueID = 1;
  caps->HardwareDisabled = 0;
  caps->Removable = removable;
  caps->LockSupported = removable;
  caps->EjectSupported = removable;
  caps->WarmEjectSupported = removable;
  caps->RawDeviceOK = (flags & BUS_DISK_RAW_DEVICE_OK) != 0;
  caps->NoDisplayInUI = (flags & BUS_DISK_HIDDEN) != 0;
  caps->SilentInstall = (flags & BUS_DISK_SILENT_INSTALL) != 0;
  caps->SurpriseRemovalOK = (flags & BUS_DISK_SURPRISE_REMOVAL_OK) != 0;
  for (ULONG i = 0; i < PowerSystemMaximum; ++i) caps->DeviceState[i] = PowerDeviceD0;
  caps->SystemWake = PowerSystemWorking;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
  return STATUS_SUCCESS;
}
