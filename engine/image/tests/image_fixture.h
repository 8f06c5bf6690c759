// Image files on the host for the image tests: creating them through the
// engine, damaging them, and opening them as a volume would.
#pragma once

#include "engine/image/image_file.h"
#include "engine/image/image_requests.h"
#include "engine/store/tests/store_fixture.h"

#include <fstream>
#include <random>

namespace storetest {

// An image test case in words: "XorCipher_DiskImage_Fat32".
inline std::string ImageCaseName(ULONG algorithm, UCHAR layout, ULONG fileSystem) {
  static const char *const kFileSystems[] = {"Raw", "Fat", "Fat32", "Ntfs"};
  std::string name = algorithm == CIPHER_ALGORITHM_XOR ? "XorCipher" : "NullCipher";
  name += layout == 2 ? "_DiskImage_" : "_VolumeImage_";
  return name + (fileSystem < 4 ? kFileSystems[fileSystem] : "FileSystem" + std::to_string(fileSystem));
}

// Bytes that differ from one seed to the next.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto &b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

class ImageTest : public StoreTest {
 protected:
  std::string Host(const std::string &name) const { return root_ + "/" + name; }

  NTSTATUS CreateImage(const std::string &host, ULONG algorithm, const std::u16string &key, UCHAR layout,
                       ULONGLONG size, ULONG fileSystem, const char *label = "", bool overwrite = true) {
    Path path(NtPath(host));
    ImageCreateParameters p = {};
    p.Path = path.get();
    p.AlgorithmId = algorithm;
    p.Key = key.data();
    p.KeyLength = static_cast<ULONG>(key.size() * 2);
    p.Layout = layout;
    p.Size = size;
    p.Overwrite = overwrite;
    p.FileSystem = fileSystem;
    p.Label = label;
    return ImageCreate(&p);
  }

  // Opens an image as a memory volume (or a direct mount) the way a create
  // request does: algorithm from the header, then cipher, then store.
  NTSTATUS OpenImage(const std::string &host, const std::u16string &key, ULONG flags, VolumeStore **store,
                     ULONG *outcome, CipherHolder *cipher, ULONGLONG size = 0) {
    Path path(NtPath(host));
    ULONG algorithm = CIPHER_ALGORITHM_NULL;
    if (!(flags & kRaw)) {
      NTSTATUS status = ImageSelectAlgorithm(path.get(), &algorithm, outcome);
      if (!NT_SUCCESS(status)) return status;
    }
    ULONG reason = 0;
    NTSTATUS status =
        CipherCreate(algorithm, key.data(), static_cast<ULONG>(key.size() * 2), &cipher->cipher, &reason);
    if (!NT_SUCCESS(status)) return status;
    return StoreCreateForVolume(flags, 0, size, path.get(), cipher->get(), store, outcome);
  }

  static std::vector<uint8_t> FileBytes(const std::string &host) {
    std::ifstream in(host, std::ios::binary);
    std::vector<uint8_t> bytes(std::filesystem::exists(host) ? std::filesystem::file_size(host) : 0);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }
  static void WriteFileBytes(const std::string &host, const std::vector<uint8_t> &bytes) {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static void Patch(const std::string &host, uint64_t offset, const void *data, size_t length) {
    std::fstream f(host, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(static_cast<const char *>(data), static_cast<std::streamsize>(length));
  }
  static void PatchU32(const std::string &host, uint64_t offset, uint32_t value) { Patch(host, offset, &value, 4); }
  static uint64_t FileSize(const std::string &host) { return std::filesystem::file_size(host); }

  // The volume's bytes as a file holds them, decoded with the key material.
  static std::vector<uint8_t> Decode(const std::vector<uint8_t> &stored, const uint8_t *keyMaterial) {
    std::vector<uint8_t> volume = stored;
    if (keyMaterial) {
      for (size_t i = 0; i < volume.size(); i += 64) {
        for (size_t k = 0; k < 64 && i + k < volume.size(); ++k) volume[i + k] ^= keyMaterial[k];
      }
    }
    return volume;
  }
};

}  // namespace storetest
