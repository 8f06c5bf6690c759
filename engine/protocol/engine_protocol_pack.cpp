// Packing of the engine's variable-length control requests, as the control
// library sends them, and the readers of what the engine answers: the
// counted-name reply and the InitialFolders block of an automatic volume.
//
// Every multi-byte field goes through EngineStoreLE at its wire offset, so
// the records come out the same on any host and the buffers need no
// alignment. A packer writes nothing unless the whole record fits.

#include "engine/protocol/engine_protocol.h"

namespace {

using Byte = uint8_t;

constexpr uint32_t MaxCounted16 = 0xFFFF;

// Writes one head field at its offset in the record.
#define PUT_FIELD(Out, Type, Head, Field) EngineStoreLE((Out) + offsetof(Type, Field), (Head).Field)

// The 26 letter slots always travel in full.
#define PUT_LETTERS(Out, Type, Head)                                                              \
  for (uint32_t i_ = 0; i_ < ENGINE_MAX_ADDITIONAL_LETTERS; i_++) {                               \
    EngineStoreLE((Out) + offsetof(Type, AdditionalLetters) + i_ * sizeof(uint16_t),              \
                  static_cast<uint16_t>((Head).AdditionalLetters[i_]));                           \
  }

// A string a packer may use: short enough for its length field, and with
// data when it is not empty.
bool StringUsable(const EngineBytes &String, uint32_t Limit) {
  return String.Length <= Limit && (String.Length == 0 || String.Data != nullptr);
}

Byte *Append(Byte *Out, const EngineBytes &String) {
  if (String.Length != 0) {
    ENGINE_PROTOCOL_COPY(Out, String.Data, String.Length);
  }
  return Out + String.Length;
}

bool Fits(const void *Buffer, uint32_t BufferLength, uint64_t Size) {
  return Buffer != nullptr && Size <= BufferLength;
}

void PutTrailer(Byte *Out) { ENGINE_PROTOCOL_ZERO(Out, ENGINE_TRAILER_LENGTH); }

bool AutoVolumeUsable(const AutoVolumeDataParts &Parts) {
  return StringUsable(Parts.VolumeLabel, MaxCounted16) && StringUsable(Parts.ImageFilePath, MaxCounted16) &&
         StringUsable(Parts.InitialFolders, UINT32_MAX) &&
         Parts.Head.AdditionalLetterCount <= ENGINE_MAX_ADDITIONAL_LETTERS;
}

}  // namespace

uint32_t CreateImageRequestPack(void *Buffer, uint32_t BufferLength, const CreateImageRequestParts *Parts) {
  if (Parts == nullptr || !StringUsable(Parts->ImagePath, MaxCounted16) ||
      !StringUsable(Parts->Password, MaxCounted16) || !StringUsable(Parts->Label, MaxCounted16)) {
    return 0;
  }
  uint64_t size = CreateImageRequestSize(Parts->ImagePath.Length, Parts->Password.Length, Parts->Label.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = CreateImageRequest;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, AlgorithmId);
  PUT_FIELD(out, T, h, ImageKind);
  EngineStoreLE(out + offsetof(T, PasswordLength), static_cast<uint16_t>(Parts->Password.Length));
  PUT_FIELD(out, T, h, ImageSize);
  PUT_FIELD(out, T, h, Overwrite);
  PUT_FIELD(out, T, h, FileSystem);
  EngineStoreLE(out + offsetof(T, LabelLength), static_cast<uint16_t>(Parts->Label.Length));
  EngineStoreLE(out + offsetof(T, ImagePathLength), static_cast<uint16_t>(Parts->ImagePath.Length));
  Byte *tail = out + sizeof(T);
  tail = Append(tail, Parts->ImagePath);
  tail = Append(tail, Parts->Password);
  Append(tail, Parts->Label);
  return static_cast<uint32_t>(size);
}

uint32_t MountImageRequestPack(void *Buffer, uint32_t BufferLength, const MountImageRequestParts *Parts) {
  if (Parts == nullptr || !StringUsable(Parts->ImagePath, MaxCounted16) ||
      !StringUsable(Parts->Password, MaxCounted16)) {
    return 0;
  }
  uint64_t size = MountImageRequestSize(Parts->ImagePath.Length, Parts->Password.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = MountImageRequest;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, MountFlags);
  EngineStoreLE(out + offsetof(T, PasswordLength), static_cast<uint16_t>(Parts->Password.Length));
  EngineStoreLE(out + offsetof(T, ImagePathLength), static_cast<uint16_t>(Parts->ImagePath.Length));
  Byte *tail = out + sizeof(T);
  tail = Append(tail, Parts->ImagePath);
  tail = Append(tail, Parts->Password);
  PutTrailer(tail);
  return static_cast<uint32_t>(size);
}

uint32_t CreateMemoryVolumeRequestPack(void *Buffer, uint32_t BufferLength,
                                       const CreateMemoryVolumeRequestParts *Parts) {
  if (Parts == nullptr || !StringUsable(Parts->ImagePath, MaxCounted16) ||
      !StringUsable(Parts->Password, MaxCounted16) || !StringUsable(Parts->Label, MaxCounted16)) {
    return 0;
  }
  uint64_t size =
      CreateMemoryVolumeRequestSize(Parts->ImagePath.Length, Parts->Password.Length, Parts->Label.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = CreateMemoryVolumeRequest;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, AlgorithmId);
  PUT_FIELD(out, T, h, VolumeSize);
  PUT_FIELD(out, T, h, MountFlags);
  PUT_FIELD(out, T, h, NumaNodeIndex);
  PUT_FIELD(out, T, h, FileSystem);
  PUT_FIELD(out, T, h, FormatFlags);
  EngineStoreLE(out + offsetof(T, LabelLength), static_cast<uint16_t>(Parts->Label.Length));
  EngineStoreLE(out + offsetof(T, PasswordLength), static_cast<uint16_t>(Parts->Password.Length));
  EngineStoreLE(out + offsetof(T, ImagePathLength), static_cast<uint16_t>(Parts->ImagePath.Length));
  Byte *tail = out + sizeof(T);
  tail = Append(tail, Parts->ImagePath);
  tail = Append(tail, Parts->Password);
  tail = Append(tail, Parts->Label);
  PutTrailer(tail);
  return static_cast<uint32_t>(size);
}

uint32_t SaveImageRequestPack(void *Buffer, uint32_t BufferLength, const SaveImageRequestParts *Parts) {
  if (Parts == nullptr || !StringUsable(Parts->TargetPath, MaxCounted16)) {
    return 0;
  }
  uint64_t size = SaveImageRequestSize(Parts->TargetPath.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = SaveImageRequest;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, VolumeHandle);
  PUT_FIELD(out, T, h, SaveFlags);
  EngineStoreLE(out + offsetof(T, TargetPathLength), static_cast<uint16_t>(Parts->TargetPath.Length));
  PutTrailer(Append(out + sizeof(T), Parts->TargetPath));
  return static_cast<uint32_t>(size);
}

EngineParseResult CountedNameReplyParse(const void *Buffer, uint64_t Length, EngineBytes *Name) {
  if (Buffer == nullptr || Length < sizeof(CountedNameReply)) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  uint16_t length = EngineLoadLE<uint16_t>(in + offsetof(CountedNameReply, NameLength));
  if (CountedNameReplySize(length) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  *Name = EngineBytes{in + sizeof(CountedNameReply), length};
  return ENGINE_PARSE_OK;
}

uint32_t FormatRequestPack(void *Buffer, uint32_t BufferLength, const FormatRequestParts *Parts) {
  if (Parts == nullptr || !StringUsable(Parts->Label, MaxCounted16)) {
    return 0;
  }
  uint64_t size = FormatRequestSize(Parts->Label.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = FormatRequest;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, FormatFlags);
  PUT_FIELD(out, T, h, VolumeHandle);
  PUT_FIELD(out, T, h, FileSystem);
  EngineStoreLE(out + offsetof(T, LabelLength), static_cast<uint16_t>(Parts->Label.Length));
  PUT_FIELD(out, T, h, PartitionSelector);
  Append(out + sizeof(T), Parts->Label);
  return static_cast<uint32_t>(size);
}

uint32_t AutoVolumeDataPack(void *Buffer, uint32_t BufferLength, const AutoVolumeDataParts *Parts) {
  if (Parts == nullptr || !AutoVolumeUsable(*Parts)) {
    return 0;
  }
  uint64_t size =
      AutoVolumeDataSize(Parts->VolumeLabel.Length, Parts->ImageFilePath.Length, Parts->InitialFolders.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  using T = VV_AUTO_VOLUME_DATA;
  const T &h = Parts->Head;
  Byte *out = static_cast<Byte *>(Buffer);
  PUT_FIELD(out, T, h, DriveLetter);
  PUT_FIELD(out, T, h, MountFlags);
  PUT_FIELD(out, T, h, NumaNodeIndex);
  PUT_FIELD(out, T, h, Properties);
  PUT_FIELD(out, T, h, VolumeSize);
  PUT_FIELD(out, T, h, FileSystem);
  EngineStoreLE(out + offsetof(T, VolumeLabelLength), static_cast<uint16_t>(Parts->VolumeLabel.Length));
  EngineStoreLE(out + offsetof(T, ImageFilePathLength), static_cast<uint16_t>(Parts->ImageFilePath.Length));
  EngineStoreLE(out + offsetof(T, InitialFoldersLength), Parts->InitialFolders.Length);
  PUT_FIELD(out, T, h, AutoflushFlags);
  PUT_FIELD(out, T, h, AutoflushPeriod);
  PUT_FIELD(out, T, h, AdditionalLetterCount);
  PUT_LETTERS(out, T, h);
  Byte *tail = out + sizeof(T);
  tail = Append(tail, Parts->VolumeLabel);
  tail = Append(tail, Parts->ImageFilePath);
  Append(tail, Parts->InitialFolders);
  return static_cast<uint32_t>(size);
}

uint32_t InitialFolderPack(void *Buffer, uint32_t BufferLength, EngineBytes Folder) {
  if (!StringUsable(Folder, MaxCounted16)) {
    return 0;
  }
  uint64_t size = InitialFolderEntrySize(Folder.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  Byte *out = static_cast<Byte *>(Buffer);
  EngineStoreLE(out, static_cast<uint16_t>(Folder.Length));
  Append(out + sizeof(uint16_t), Folder);
  return static_cast<uint32_t>(size);
}

void InitialFoldersBegin(InitialFolderIterator *Iterator, EngineBytes Block) {
  Iterator->Block = static_cast<const Byte *>(Block.Data);
  Iterator->Length = Block.Length;
  Iterator->Offset = 0;
  Iterator->Failed = Block.Data == nullptr && Block.Length != 0;
}

EngineParseResult InitialFoldersNext(InitialFolderIterator *Iterator, EngineBytes *Folder) {
  if (Iterator->Failed) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  uint32_t left = Iterator->Length - Iterator->Offset;
  if (left == 0) {
    return ENGINE_PARSE_END;
  }
  if (left < sizeof(uint16_t)) {
    Iterator->Failed = true;
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *entry = Iterator->Block + Iterator->Offset;
  uint16_t length = EngineLoadLE<uint16_t>(entry);
  if (length > left - sizeof(uint16_t)) {
    Iterator->Failed = true;
    return ENGINE_PARSE_BAD_LENGTH;
  }
  *Folder = EngineBytes{entry + sizeof(uint16_t), length};
  Iterator->Offset += sizeof(uint16_t) + length;
  return ENGINE_PARSE_OK;
}

EngineParseResult InitialFoldersCheck(EngineBytes Block, uint32_t *Count) {
  InitialFolderIterator iterator;
  InitialFoldersBegin(&iterator, Block);
  uint32_t count = 0;
  EngineBytes folder;
  EngineParseResult result;
  while ((result = InitialFoldersNext(&iterator, &folder)) == ENGINE_PARSE_OK) {
    count++;
  }
  if (result != ENGINE_PARSE_END) {
    return result;
  }
  if (Count != nullptr) {
    *Count = count;
  }
  return ENGINE_PARSE_OK;
}
