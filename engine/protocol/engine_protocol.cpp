// Packing and parsing of the engine's variable-length control records.
//
// Every multi-byte field goes through EngineStoreLE/EngineLoadLE at its wire
// offset, so the records come out the same on any host and the buffers need
// no alignment. Parsers check the lengths against the buffer before they form
// a single pointer into the tail.

#include "kernel-support/kernel.h"  // memcpy and memset, as the kernel headers declare them
#include "engine/protocol/engine_protocol.h"

namespace {

using Byte = uint8_t;

constexpr uint32_t MaxCounted16 = 0xFFFF;

// Writes or reads one head field at its offset in the record.
#define PUT_FIELD(Out, Type, Head, Field) EngineStoreLE((Out) + offsetof(Type, Field), (Head).Field)
#define GET_FIELD(In, Type, Head, Field) \
  ((Head).Field = EngineLoadLE<std::remove_cvref_t<decltype((Head).Field)>>((In) + offsetof(Type, Field)))

// The 26 letter slots always travel in full.
#define PUT_LETTERS(Out, Type, Head)                                                              \
  for (uint32_t i_ = 0; i_ < ENGINE_MAX_ADDITIONAL_LETTERS; i_++) {                               \
    EngineStoreLE((Out) + offsetof(Type, AdditionalLetters) + i_ * sizeof(uint16_t),              \
                  static_cast<uint16_t>((Head).AdditionalLetters[i_]));                           \
  }
#define GET_LETTERS(In, Type, Head)                                                               \
  for (uint32_t i_ = 0; i_ < ENGINE_MAX_ADDITIONAL_LETTERS; i_++) {                               \
    (Head).AdditionalLetters[i_] =                                                                \
        EngineLoadLE<uint16_t>((In) + offsetof(Type, AdditionalLetters) + i_ * sizeof(uint16_t)); \
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

// Cuts the next string off the tail; the caller has checked that it is there.
EngineBytes Take(const Byte **In, uint32_t Length) {
  EngineBytes string{*In, Length};
  *In += Length;
  return string;
}

bool Fits(const void *Buffer, uint32_t BufferLength, uint64_t Size) {
  return Buffer != nullptr && Size <= BufferLength;
}

void PutTrailer(Byte *Out) { ENGINE_PROTOCOL_ZERO(Out, ENGINE_TRAILER_LENGTH); }

//
// VV_AUTO_VOLUME_DATA, shared by the single record and the list.
//

bool AutoVolumeUsable(const AutoVolumeDataParts &Parts) {
  return StringUsable(Parts.VolumeLabel, MaxCounted16) && StringUsable(Parts.ImageFilePath, MaxCounted16) &&
         StringUsable(Parts.InitialFolders, UINT32_MAX) &&
         Parts.Head.AdditionalLetterCount <= ENGINE_MAX_ADDITIONAL_LETTERS;
}

// Parses one record at the start of Available bytes. With Exact the record
// must use them all; otherwise its size goes to *Size.
EngineParseResult ParseAutoVolume(const Byte *In, uint64_t Available, bool Exact, AutoVolumeDataParts *Parts,
                                  uint64_t *Size) {
  if (In == nullptr || Available < sizeof(VV_AUTO_VOLUME_DATA)) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  using T = VV_AUTO_VOLUME_DATA;
  AutoVolumeDataParts parts{};
  T &h = parts.Head;
  GET_FIELD(In, T, h, DriveLetter);
  GET_FIELD(In, T, h, MountFlags);
  GET_FIELD(In, T, h, NumaNodeIndex);
  GET_FIELD(In, T, h, Properties);
  GET_FIELD(In, T, h, VolumeSize);
  GET_FIELD(In, T, h, FileSystem);
  GET_FIELD(In, T, h, VolumeLabelLength);
  GET_FIELD(In, T, h, ImageFilePathLength);
  GET_FIELD(In, T, h, InitialFoldersLength);
  GET_FIELD(In, T, h, AutoflushFlags);
  GET_FIELD(In, T, h, AutoflushPeriod);
  GET_FIELD(In, T, h, AdditionalLetterCount);
  GET_LETTERS(In, T, h);
  uint64_t size = AutoVolumeDataSize(h.VolumeLabelLength, h.ImageFilePathLength, h.InitialFoldersLength);
  if (Exact ? size != Available : size > Available) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  if (h.AdditionalLetterCount > ENGINE_MAX_ADDITIONAL_LETTERS) {
    return ENGINE_PARSE_BAD_VALUE;
  }
  const Byte *tail = In + sizeof(T);
  parts.VolumeLabel = Take(&tail, h.VolumeLabelLength);
  parts.ImageFilePath = Take(&tail, h.ImageFilePathLength);
  parts.InitialFolders = Take(&tail, h.InitialFoldersLength);
  *Parts = parts;
  if (Size != nullptr) {
    *Size = size;
  }
  return ENGINE_PARSE_OK;
}

}  // namespace

//
// CreateImageRequest
//

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

EngineParseResult CreateImageRequestParse(const void *Buffer, uint64_t Length, CreateImageRequestParts *Parts) {
  using T = CreateImageRequest;
  if (Buffer == nullptr || Length < sizeof(T)) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  CreateImageRequestParts parts{};
  T &h = parts.Head;
  GET_FIELD(in, T, h, AlgorithmId);
  GET_FIELD(in, T, h, ImageKind);
  GET_FIELD(in, T, h, PasswordLength);
  GET_FIELD(in, T, h, ImageSize);
  GET_FIELD(in, T, h, Overwrite);
  GET_FIELD(in, T, h, FileSystem);
  GET_FIELD(in, T, h, LabelLength);
  GET_FIELD(in, T, h, ImagePathLength);
  if (CreateImageRequestSize(h.ImagePathLength, h.PasswordLength, h.LabelLength) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *tail = in + sizeof(T);
  parts.ImagePath = Take(&tail, h.ImagePathLength);
  parts.Password = Take(&tail, h.PasswordLength);
  parts.Label = Take(&tail, h.LabelLength);
  *Parts = parts;
  return ENGINE_PARSE_OK;
}

//
// MountImageRequest
//

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

EngineParseResult MountImageRequestParse(const void *Buffer, uint64_t Length, MountImageRequestParts *Parts) {
  using T = MountImageRequest;
  if (Buffer == nullptr || Length < sizeof(T) + ENGINE_TRAILER_LENGTH) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  MountImageRequestParts parts{};
  T &h = parts.Head;
  GET_FIELD(in, T, h, MountFlags);
  GET_FIELD(in, T, h, PasswordLength);
  GET_FIELD(in, T, h, ImagePathLength);
  if (MountImageRequestSize(h.ImagePathLength, h.PasswordLength) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *tail = in + sizeof(T);
  parts.ImagePath = Take(&tail, h.ImagePathLength);
  parts.Password = Take(&tail, h.PasswordLength);
  *Parts = parts;
  return ENGINE_PARSE_OK;
}

//
// CreateMemoryVolumeRequest
//

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

EngineParseResult CreateMemoryVolumeRequestParse(const void *Buffer, uint64_t Length,
                                                 CreateMemoryVolumeRequestParts *Parts) {
  using T = CreateMemoryVolumeRequest;
  if (Buffer == nullptr || Length < sizeof(T) + ENGINE_TRAILER_LENGTH) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  CreateMemoryVolumeRequestParts parts{};
  T &h = parts.Head;
  GET_FIELD(in, T, h, AlgorithmId);
  GET_FIELD(in, T, h, VolumeSize);
  GET_FIELD(in, T, h, MountFlags);
  GET_FIELD(in, T, h, NumaNodeIndex);
  GET_FIELD(in, T, h, FileSystem);
  GET_FIELD(in, T, h, FormatFlags);
  GET_FIELD(in, T, h, LabelLength);
  GET_FIELD(in, T, h, PasswordLength);
  GET_FIELD(in, T, h, ImagePathLength);
  if (CreateMemoryVolumeRequestSize(h.ImagePathLength, h.PasswordLength, h.LabelLength) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *tail = in + sizeof(T);
  parts.ImagePath = Take(&tail, h.ImagePathLength);
  parts.Password = Take(&tail, h.PasswordLength);
  parts.Label = Take(&tail, h.LabelLength);
  *Parts = parts;
  return ENGINE_PARSE_OK;
}

//
// SaveImageRequest
//

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

EngineParseResult SaveImageRequestParse(const void *Buffer, uint64_t Length, SaveImageRequestParts *Parts) {
  using T = SaveImageRequest;
  if (Buffer == nullptr || Length < sizeof(T) + ENGINE_TRAILER_LENGTH) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  SaveImageRequestParts parts{};
  T &h = parts.Head;
  GET_FIELD(in, T, h, VolumeHandle);
  GET_FIELD(in, T, h, SaveFlags);
  GET_FIELD(in, T, h, TargetPathLength);
  if (SaveImageRequestSize(h.TargetPathLength) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *tail = in + sizeof(T);
  parts.TargetPath = Take(&tail, h.TargetPathLength);
  *Parts = parts;
  return ENGINE_PARSE_OK;
}

//
// CountedNameReply
//

uint32_t CountedNameReplyPack(void *Buffer, uint32_t BufferLength, EngineBytes Name) {
  if (!StringUsable(Name, MaxCounted16)) {
    return 0;
  }
  uint64_t size = CountedNameReplySize(Name.Length);
  if (!Fits(Buffer, BufferLength, size)) {
    return 0;
  }
  Byte *out = static_cast<Byte *>(Buffer);
  EngineStoreLE(out + offsetof(CountedNameReply, NameLength), static_cast<uint16_t>(Name.Length));
  Append(out + sizeof(CountedNameReply), Name);
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

//
// FormatRequest
//

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

EngineParseResult FormatRequestParse(const void *Buffer, uint64_t Length, FormatRequestParts *Parts) {
  using T = FormatRequest;
  if (Buffer == nullptr || Length < sizeof(T)) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *in = static_cast<const Byte *>(Buffer);
  FormatRequestParts parts{};
  T &h = parts.Head;
  GET_FIELD(in, T, h, FormatFlags);
  GET_FIELD(in, T, h, VolumeHandle);
  GET_FIELD(in, T, h, FileSystem);
  GET_FIELD(in, T, h, LabelLength);
  GET_FIELD(in, T, h, PartitionSelector);
  if (FormatRequestSize(h.LabelLength) != Length) {
    return ENGINE_PARSE_BAD_LENGTH;
  }
  const Byte *tail = in + sizeof(T);
  parts.Label = Take(&tail, h.LabelLength);
  *Parts = parts;
  return ENGINE_PARSE_OK;
}

//
// VV_AUTO_VOLUME_DATA
//

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

EngineParseResult AutoVolumeDataParse(const void *Buffer, uint64_t Length, AutoVolumeDataParts *Parts) {
  return ParseAutoVolume(static_cast<const Byte *>(Buffer), Length, true, Parts, nullptr);
}

//
// InitialFolders
//

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

//
// AutoVolumeListReply
//

void AutoVolumeListBegin(AutoVolumeListWriter *Writer, void *Buffer, uint32_t Capacity) {
  Writer->Buffer = static_cast<Byte *>(Buffer);
  Writer->Capacity = Buffer != nullptr ? Capacity : 0;
  Writer->Count = 0;
  Writer->Needed = sizeof(AutoVolumeListReply);
}

bool AutoVolumeListAdd(AutoVolumeListWriter *Writer, const AutoVolumeDataParts *Record) {
  if (Record == nullptr || !AutoVolumeUsable(*Record)) {
    return false;
  }
  uint64_t size =
      AutoVolumeDataSize(Record->VolumeLabel.Length, Record->ImageFilePath.Length, Record->InitialFolders.Length);
  // Needed only grows, so once a record misses the buffer no later one is
  // written either.
  if (Writer->Buffer != nullptr && Writer->Needed + size <= Writer->Capacity) {
    AutoVolumeDataPack(Writer->Buffer + Writer->Needed, static_cast<uint32_t>(Writer->Capacity - Writer->Needed),
                       Record);
  }
  Writer->Needed += size;
  Writer->Count++;
  return true;
}

bool AutoVolumeListFinish(AutoVolumeListWriter *Writer) {
  if (Writer->Buffer == nullptr || Writer->Needed > Writer->Capacity) {
    return false;
  }
  EngineStoreLE(Writer->Buffer + offsetof(AutoVolumeListReply, Count), Writer->Count);
  return true;
}

EngineParseResult AutoVolumeListOpen(AutoVolumeListReader *Reader, const void *Buffer, uint64_t Length) {
  Reader->Buffer = static_cast<const Byte *>(Buffer);
  Reader->Length = Length;
  Reader->Offset = sizeof(AutoVolumeListReply);
  Reader->Count = 0;
  Reader->Index = 0;
  if (Buffer == nullptr || Length < sizeof(AutoVolumeListReply)) {
    Reader->Error = ENGINE_PARSE_BAD_LENGTH;
    return Reader->Error;
  }
  Reader->Count = EngineLoadLE<uint32_t>(Reader->Buffer + offsetof(AutoVolumeListReply, Count));
  Reader->Error = ENGINE_PARSE_OK;
  return ENGINE_PARSE_OK;
}

EngineParseResult AutoVolumeListNext(AutoVolumeListReader *Reader, AutoVolumeDataParts *Record) {
  if (Reader->Error != ENGINE_PARSE_OK) {
    return Reader->Error;
  }
  if (Reader->Index == Reader->Count) {
    if (Reader->Offset != Reader->Length) {
      Reader->Error = ENGINE_PARSE_BAD_LENGTH;
      return Reader->Error;
    }
    return ENGINE_PARSE_END;
  }
  uint64_t size = 0;
  EngineParseResult result =
      ParseAutoVolume(Reader->Buffer + Reader->Offset, Reader->Length - Reader->Offset, false, Record, &size);
  if (result != ENGINE_PARSE_OK) {
    Reader->Error = result;
    return result;
  }
  Reader->Offset += size;
  Reader->Index++;
  return ENGINE_PARSE_OK;
}
