#include "engine/control/control_request.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

namespace {

// Image names of the processes allowed to send control requests.
constexpr char kAllowedClients[] = "*";

BOOLEAN CallerAllowed(PIRP Irp) {
  PEPROCESS process = IoGetRequestorProcess(Irp);
  PCSTR image = process ? PsGetProcessImageFileName(process) : nullptr;
  if (!image) image = "";
  // The last component, should the name carry a path.
  for (PCSTR p = image; *p; ++p)
    if (*p == '\\') image = p + 1;
  return KsMatchWildcardAnsi(kAllowedClients, image);
}

CONTROL_HANDLER *HandlerFor(ULONG Code) {
  switch (Code) {
    case IOCTL_ENGINE_CREATE_IMAGE: return ControlCreateImage;
    case IOCTL_ENGINE_MOUNT_IMAGE: return ControlMountImage;
    case IOCTL_ENGINE_CREATE_MEMORY_VOLUME: return ControlCreateMemoryVolume;
    case IOCTL_ENGINE_UNMOUNT: return ControlUnmount;
    case IOCTL_ENGINE_SAVE_IMAGE: return ControlSaveImage;
    case IOCTL_ENGINE_GET_DEVICE_NAME: return ControlGetDeviceName;
    case IOCTL_ENGINE_REGISTER_NOTIFY: return ControlRegisterNotification;
    case IOCTL_ENGINE_QUERY_VOLUME: return ControlQueryVolumeInformation;
    case IOCTL_ENGINE_LIST_VOLUMES: return ControlListVolumes;
    case IOCTL_ENGINE_LINK: return ControlLink;
    case IOCTL_ENGINE_GET_IMAGE_PATH: return ControlGetImageFilePath;
    case IOCTL_ENGINE_SET_PROPERTIES: return ControlSetProperties;
    case IOCTL_ENGINE_ADD_AUTO_VOLUME: return ControlAddAutoVolume;
    case IOCTL_ENGINE_GET_AUTO_VOLUMES: return ControlGetAutoVolumes;
    case IOCTL_ENGINE_DELETE_AUTO_VOLUME: return ControlDeleteAutoVolume;
    case IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES: return ControlDeleteAllAutoVolumes;
    case IOCTL_ENGINE_FORMAT_VOLUME: return ControlFormatVolume;
    case IOCTL_ENGINE_SET_FLUSH_STATE: return ControlSetFlushState;
    default: return nullptr;
  }
}

}  // namespace

NTSTATUS ControlDispatch(ULONG Code, ControlRequest *Request) {
  if (!CallerAllowed(Request->Irp)) return STATUS_ACCESS_DENIED;
  CONTROL_HANDLER *handler = HandlerFor(Code);
  if (!handler) return STATUS_INVALID_DEVICE_REQUEST;
  return handler(Request);
}

NTSTATUS ReplyCountedName(ControlRequest *Request, PCUNICODE_STRING Name) {
  ULONG needed = static_cast<ULONG>(CountedNameReplySize(Name->Length));
  if (Request->OutputLength == 0) {
    Request->Information = needed;
    return STATUS_SUCCESS;
  }
  if (!CountedNameReplyPack(Request->Buffer, Request->OutputLength, EngineBytes{Name->Buffer, Name->Length}))
    return STATUS_BUFFER_TOO_SMALL;
  Request->Information = needed;
  return STATUS_SUCCESS;
}

NTSTATUS RequestPathString(EngineBytes Path, PUNICODE_STRING *String) {
  // Copied first: the string routines read whole characters.
  PWSTR text = static_cast<PWSTR>(KsAllocate(Path.Length, KS_TAG_PATH, PagedPool));
  if (!text) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(text, Path.Data, Path.Length);
  NTSTATUS status = KsStringFromWide(text, Path.Length, String);
  KsFree(&text);
  return status;
}
