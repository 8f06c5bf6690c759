// Assigning and removing the letter of a volume with its own device.
#include "engine/system/drive_letters.h"

#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_mount_manager.h"
#include "kernel-support/ks_mounted_devices.h"
#include "kernel-support/ks_status.h"
#include "kernel-support/ks_string.h"
#include "kernel-support/ks_symlink.h"
#include "kernel-support/ks_token.h"

namespace {

// A letter link that keeps being re-created under us is not fought forever.
constexpr ULONG kMaxLetterLinkDeletions = 32;

// Publishes Link (which the volume then owns) as the suggested link, or
// withdraws it with null, and recomputes the unique id the name implies.
NTSTATUS SetSuggestedLink(VolumeBlock *Volume, PUNICODE_STRING *Link) {
  PUNICODE_STRING link = Link ? *Link : nullptr;
  VolumeLockNames(Volume);
  PUNICODE_STRING old = Volume->SuggestedLink;
  Volume->SuggestedLink = link;
  NTSTATUS status = VolumeComputeUniqueId(Volume);
  if (NT_SUCCESS(status)) {
    if (Link) *Link = nullptr;
  } else {
    Volume->SuggestedLink = old;
    old = nullptr;
  }
  VolumeUnlockNames(Volume);
  KsFreeString(&old);
  return status;
}

// Who asks for a session-local letter: user, logon session, session.
struct Requester {
  PSID Sid;
  LUID LogonId;
  ULONG SessionId;
  KPROCESSOR_MODE Mode;
};

NTSTATUS IdentifyRequester(PIRP Irp, Requester *Who) {
  RtlZeroMemory(Who, sizeof(*Who));
  PETHREAD thread = Irp ? Irp->Tail.Overlay.Thread : PsGetCurrentThread();
  PEPROCESS process = Irp ? IoGetRequestorProcess(Irp) : PsGetCurrentProcess();
  Who->Mode = Irp ? Irp->RequestorMode : static_cast<KPROCESSOR_MODE>(KernelMode);
  Who->SessionId = process ? PsGetProcessSessionId(process) : 0;
  KS_TOKEN token;
  NTSTATUS status = KsReferenceToken(thread, process, &token);
  if (!NT_SUCCESS(status)) return STATUS_NO_TOKEN;
  status = KsQueryTokenUserSid(&token, &Who->Sid);
  if (NT_SUCCESS(status)) status = KsQueryTokenLogonId(&token, &Who->LogonId);
  KsReleaseToken(&token);
  if (!NT_SUCCESS(status)) KsFree(&Who->Sid);
  return status;
}

// What an assignment built, to be undone when it fails.
struct Assignment {
  PUNICODE_STRING LetterLink;
  PUNICODE_STRING ActiveLink;
  BOOLEAN GlobalLinkCreated;
  BOOLEAN ValueWritten;
  PVOID PreviousValue;  // the MountedDevices value the write replaced
  ULONG PreviousLength;
};

VOID UndoAssignment(VolumeBlock *Volume, Assignment *Done) {
  if (Done->GlobalLinkCreated) KsDeleteSymbolicLink(Done->LetterLink);
  if (Done->ValueWritten) {
    // Another volume's recorded letter is put back rather than lost.
    if (Done->PreviousValue) {
      KsMountedDevicesSet(Done->LetterLink, Done->PreviousValue, Done->PreviousLength);
    } else {
      KsMountedDevicesDeleteByName(Done->LetterLink);
    }
  }
  SetSuggestedLink(Volume, nullptr);
}

// Step 8 for a session-local letter: the global letter link goes (the mount
// manager may have made it from the suggested link), the session link comes.
NTSTATUS MoveToSession(VolumeBlock *Volume, Assignment *Done, LUID LogonId, WCHAR Letter) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < kMaxLetterLinkDeletions; ++i) {
    status = IoDeleteSymbolicLink(Done->LetterLink);
    if (!NT_SUCCESS(status)) break;
  }
  if (NT_SUCCESS(status)) return STATUS_TOO_MANY_LINKS;
  if (!KsIsNotThereStatus(status)) return status;
  Done->GlobalLinkCreated = FALSE;
  status = MakeSessionLetterLink(LogonId, Letter, &Done->ActiveLink);
  if (!NT_SUCCESS(status)) return status;
  status = KsCreateSymbolicLink(Done->ActiveLink, Volume->DeviceName);
  if (!NT_SUCCESS(status)) KsFreeString(&Done->ActiveLink);
  return status;
}

NTSTATUS Assign(VolumeBlock *Volume, WCHAR Letter, BOOLEAN SessionLocal, const Requester *Who,
                Assignment *Done) {
  PUNICODE_STRING suggested = nullptr;
  NTSTATUS status = MakeLetterLink(Letter, &Done->LetterLink);
  if (NT_SUCCESS(status)) status = KsDuplicateString(Done->LetterLink, &suggested);
  // The volume is known by its letter from here on: the suggested link and
  // the unique id the mount manager and MountedDevices will see.
  if (NT_SUCCESS(status)) status = SetSuggestedLink(Volume, &suggested);
  KsFreeString(&suggested);
  if (!NT_SUCCESS(status)) return status;

  if (!SessionLocal) {
    KsDeleteMountPointsDbOnly(Volume->UniqueId, sizeof(Volume->UniqueId));
    KsMountedDevicesRead(Done->LetterLink, &Done->PreviousValue, &Done->PreviousLength);
    Done->ValueWritten =
        NT_SUCCESS(KsMountedDevicesSet(Done->LetterLink, Volume->UniqueId, sizeof(Volume->UniqueId)));
  } else {
    // No database entry may hold the id, or the mount manager would give a global letter.
    KsMountedDevicesDeleteByData(Volume->UniqueId, sizeof(Volume->UniqueId));
  }

  status = KsAnnounceVolume(Volume->DeviceName);
  if (!NT_SUCCESS(status)) return status;
  Volume->Announced = 1;

  if (SessionLocal) {
    status = KsMountedDevicesDeleteByName(Done->LetterLink);
    if (!NT_SUCCESS(status)) return status;
    Done->GlobalLinkCreated = NT_SUCCESS(KsCreateSymbolicLink(Done->LetterLink, Volume->DeviceName));
  }

  if (!LinkPointsTo(Done->LetterLink, Volume->DeviceName)) return STATUS_OBJECT_NAME_COLLISION;

  if (SessionLocal) return MoveToSession(Volume, Done, Who->LogonId, Letter);
  return KsDuplicateString(Done->LetterLink, &Done->ActiveLink);
}

}  // namespace

WCHAR UpcaseDriveLetter(WCHAR Letter) {
  return (Letter >= 'a' && Letter <= 'z') ? static_cast<WCHAR>(Letter - 'a' + 'A') : Letter;
}

NTSTATUS MakeLetterLink(WCHAR Letter, PUNICODE_STRING *Link) {
  return KsFormatString(Link, KS_WSTR("\\DosDevices\\%c:"), UpcaseDriveLetter(Letter));
}

NTSTATUS MakeSessionLetterLink(LUID LogonId, WCHAR Letter, PUNICODE_STRING *Link) {
  return KsFormatString(Link, KS_WSTR("\\Sessions\\%u\\DosDevices\\%08X-%08X\\%c:"), 0u,
                        static_cast<ULONG>(LogonId.HighPart), LogonId.LowPart, UpcaseDriveLetter(Letter));
}

BOOLEAN LinkPointsTo(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName) {
  if (!Link || !DeviceName) return FALSE;
  PUNICODE_STRING target = nullptr;
  if (!NT_SUCCESS(KsQuerySymbolicLink(Link, &target))) return FALSE;
  BOOLEAN same = RtlEqualUnicodeString(target, DeviceName, TRUE);
  KsFreeString(&target);
  return same;
}

NTSTATUS AssignLetter(VolumeBlock *Volume, WCHAR Letter, BOOLEAN SessionLocal, PIRP Irp) {
  if (!Volume || !Volume->DeviceName) return STATUS_INVALID_DEVICE_STATE;
  Letter = UpcaseDriveLetter(Letter);
  if (Letter < 'A' || Letter > 'Z') return STATUS_OBJECT_NAME_INVALID;

  Requester who;
  NTSTATUS status = IdentifyRequester(Irp, &who);
  if (!NT_SUCCESS(status)) return status;

  VolumeLockLetters(Volume);
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER)) {
    status = STATUS_TOO_MANY_LINKS;
  } else if (SessionLocal && Volume->OwnerSid && who.Mode == UserMode &&
             !KsEqualSid(Volume->OwnerSid, who.Sid)) {
    // Another user's session-local volume.
    status = STATUS_ACCESS_DENIED;
  }
  Assignment done;
  RtlZeroMemory(&done, sizeof(done));
  BOOLEAN attempted = NT_SUCCESS(status);
  if (attempted) status = Assign(Volume, Letter, SessionLocal, &who, &done);
  if (NT_SUCCESS(status)) {
    if (SessionLocal) {
      KsFree(&Volume->OwnerSid);
      Volume->OwnerSid = who.Sid;
      who.Sid = nullptr;
    }
    VolumeLockNames(Volume);
    KsFreeString(&Volume->LetterLink);
    Volume->LetterLink = done.ActiveLink;
    done.ActiveLink = nullptr;
    VolumeUnlockNames(Volume);
    KIRQL irql;
    KeAcquireSpinLock(&Volume->SpinLock, &irql);
    Volume->DriveLetter = Letter;
    Volume->SessionLocal = SessionLocal ? 1 : 0;
    Volume->SessionId = who.SessionId;
    Volume->LogonId = who.LogonId;
    KeReleaseSpinLock(&Volume->SpinLock, irql);
    VolumeSetFlags(Volume, VOLUME_HAS_LETTER);
  } else if (attempted) {
    if (done.ActiveLink) KsDeleteSymbolicLink(done.ActiveLink);
    UndoAssignment(Volume, &done);
  }
  VolumeUnlockLetters(Volume);
  KsFreeString(&done.LetterLink);
  KsFreeString(&done.ActiveLink);
  KsFree(&done.PreviousValue);
  KsFree(&who.Sid);
  return status;
}

VOID ForgetVolumeLetter(VolumeBlock *Volume) {
  VolumeLockNames(Volume);
  PUNICODE_STRING active = Volume->LetterLink;
  Volume->LetterLink = nullptr;
  VolumeUnlockNames(Volume);
  KsFreeString(&active);
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  Volume->DriveLetter = 0;
  Volume->AdditionalLetterCount = 0;
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  VolumeClearFlags(Volume, VOLUME_HAS_LETTER);
}

VOID ForgetVolumeNames(VolumeBlock *Volume) {
  if (!Volume->Announced || !Volume->DeviceName) return;
  KS_MOUNT_POINT_KEY key = {nullptr, nullptr, 0, Volume->DeviceName};
  KsDeleteMountPoints(&key);
  Volume->Announced = 0;
}

NTSTATUS RemoveLetter(VolumeBlock *Volume, BOOLEAN Notify) {
  VolumeLockLetters(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (!VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER) || !Volume->LetterLink) {
    VolumeUnlockLetters(Volume);
    return STATUS_SUCCESS;
  }
  if (Volume->SessionLocal) {
    status = KsDeleteSymbolicLink(Volume->LetterLink);
  } else {
    KS_MOUNT_POINT_KEY key = {Volume->SuggestedLink, nullptr, 0, nullptr};
    status = KsDeleteMountPoints(&key);
    if (status == STATUS_INVALID_PARAMETER) {
      KsDeleteSymbolicLink(Volume->LetterLink);
      KS_MOUNT_POINT_KEY full = {Volume->SuggestedLink, Volume->UniqueId, sizeof(Volume->UniqueId),
                                 Volume->DeviceName};
      status = KsDeleteMountPoints(&full);
    }
    status = KsRemovalStatus(status);
  }
  if (NT_SUCCESS(status)) {
    KsMountedDevicesDeleteByData(Volume->UniqueId, sizeof(Volume->UniqueId));
    ForgetVolumeLetter(Volume);
    SetSuggestedLink(Volume, nullptr);
  }
  VolumeUnlockLetters(Volume);
  if (NT_SUCCESS(status) && Notify) NotifyBroadcast(VolumeHandleOf(Volume), ENGINE_EVENT_LETTERS_CHANGED);
  return status;
}
