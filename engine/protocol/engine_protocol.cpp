// Parsing of the engine's variable-length control requests, and the packing
// of its counted-name reply.
//
// Every multi-byte field goes through EngineStoreLE/EngineLoadLE at its wire
// offset, so the records come out the same on any host and the buffers need
// no alignment. Parsers check the lengths against the buffer before they form
// a single pointer into the tail.

#include "kernel-support/kernel.h"  // memcpy and memset, as the kernel headers declare them
#include "engine/protocol/engine_protocol.h"

namespace {

using Byte = uint8_t;

// Reads one head field at its offset in the record.
#define GET_FIELD(In, Type, Head, Field) \
  ((Head).Field = EngineLoadLE<std::remove_cvref_t<decltype((Head).Field)>>((In) + offsetof(Type, Field)))

// The 26 letter slots always travel in full.
#define GET_LETTERS(In, Type, Head)                                                               \
  for (uint32_t i_ = 0; i_ < ENGINE_MAX_ADDITIONAL_LETTERS; i_++) {                               \
    (Head).AdditionalLetters[i_] =                                                                \
        EngineLoadLE<uint16_t>((In) + offsetof(Type, AdditionalLetters) + i_ * sizeof(uint16_t)); \
  }

// Cuts the next string off the tail; the caller has checked that it is there.
EngineBytes Take(const Byte **In, uint32_t Length) {
  EngineBytes string{*In, Length};
  *In += Length;
  return string;
}

}  // namespace

//
// VV_AUTO_VOLUME_DATA
//

EngineParseResult AutoVolumeDataParse(const void *Buffer, uint64_t Length, AutoVolumeDataParts *Parts) {
  const Byte *In = static_cast<const Byte *>(Buffer);
  if (In == nullptr || Length < sizeof(VV_AUTO_VOLUME_DATA)) {
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
  if (size != Length) {
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
  return ENGINE_PARSE_OK;
}

//
// CreateImageRequest
//

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
  // The name must fit its 16-bit length, and a length needs data behind it.
  if (Name.Length > 0xFFFF || (Name.Length != 0 && Name.Data == nullptr)) {
    return 0;
  }
  uint64_t size = CountedNameReplySize(Name.Length);
  if (Buffer == nullptr || size > BufferLength) {
    return 0;
  }
  Byte *out = static_cast<Byte *>(Buffer);
  EngineStoreLE(out + offsetof(CountedNameReply, NameLength), static_cast<uint16_t>(Name.Length));
  if (Name.Length != 0) {
    ENGINE_PROTOCOL_COPY(out + sizeof(CountedNameReply), Name.Data, Name.Length);
  }
  return static_cast<uint32_t>(size);
}

//
// FormatRequest
//

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
