// A fresh kernel per test, and the store pieces the tests build on: ciphers,
// memory stores, host paths in NT form, and the proof that nothing leaked.
#pragma once

#include "bw/host.h"
#include "bw/user_session.h"
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "kernel-support/ks_version.h"
#include "tests/support/booted_kernel.h"
#include "tests/support/status_matchers.h"
#include "engine/store/volume_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace storetest {

inline constexpr ULONG kMemory = 0x8;
inline constexpr ULONG kRaw = 0x20;
inline constexpr ULONG kDetach = 0x10;

class StoreTest : public bw::test::BootedKernelTest {
 protected:
  // The machine's state goes to a folder of its own: the tests put their
  // image files in root_.
  bw::BootOptions BootOptionsFor(const std::string &root) const override {
    bw::BootOptions options;
    options.root = root + "/machine";
    // The system process's user space (pieces and header views) opens only
    // to threads attached to it.
    options.guardUserSpace = true;
    std::filesystem::create_directories(options.root);
    return options;
  }
  void SetUp() override {
    BootedKernelTest::SetUp();
    KsRefreshSystemVersion();
  }

  void TearDown() override {
    clientThread_.reset();
    client_.reset();
    BootedKernelTest::TearDown();
  }

  // Every tag with allocations outstanding, for messages.
  static std::string Leaks() { return bw::test::PoolGrowthSince({}); }

  static void SetVersion(ULONG major, ULONG minor) {
    bw::SetSystemVersion(major, minor, 2600, true);
    KsRefreshSystemVersion();
  }

  // A cipher the test owns.
  struct CipherHolder {
    CipherBlock *cipher = nullptr;
    ~CipherHolder() { CipherRelease(&cipher); }
    CipherBlock *get() const { return cipher; }
  };
  static void MakeCipher(CipherHolder *holder, ULONG algorithm, const std::u16string &key = u"") {
    ULONG reason = 0;
    ASSERT_STATUS(STATUS_SUCCESS,
                  CipherCreate(algorithm, key.data(), static_cast<ULONG>(key.size() * 2), &holder->cipher, &reason));
  }

  // An empty memory volume of Size bytes.
  static NTSTATUS MemoryStore(ULONGLONG size, CipherBlock *cipher, VolumeStore **store, ULONG flags = kMemory) {
    ULONG outcome = 0;
    return StoreCreateForVolume(flags, 0, size, nullptr, cipher, store, &outcome);
  }

  // The NT form of a host path: drive Z: is the host's root.
  static std::u16string NtPath(const std::string &host) {
    std::u16string path = u"\\??\\Z:";
    for (char c : host) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    return path;
  }
  struct Path {
    std::u16string text;
    UNICODE_STRING string;
    explicit Path(std::u16string t) : text(std::move(t)) {
      string.Buffer = text.data();
      string.Length = static_cast<USHORT>(text.size() * 2);
      string.MaximumLength = string.Length;
    }
    PCUNICODE_STRING get() const { return &string; }
  };

  static NTSTATUS Read(VolumeStore *store, void *buffer, ULONGLONG offset, ULONG length, ULONG_PTR *bytes = nullptr) {
    ULONG_PTR moved = 0;
    NTSTATUS status = StoreRead(store, buffer, offset, length, &moved);
    if (bytes) *bytes = moved;
    return status;
  }
  static NTSTATUS Write(VolumeStore *store, const void *buffer, ULONGLONG offset, ULONG length,
                        ULONG flags = 0, ULONG_PTR *bytes = nullptr) {
    ULONG_PTR moved = 0;
    NTSTATUS status = StoreWrite(store, flags, buffer, offset, length, &moved);
    if (bytes) *bytes = moved;
    return status;
  }
  static std::vector<uint8_t> ReadAll(VolumeStore *store) {
    std::vector<uint8_t> data(store->VolumeSize);
    for (ULONGLONG at = 0; at < data.size();) {
      ULONG run = static_cast<ULONG>(std::min<ULONGLONG>(data.size() - at, 1 << 20));
      ULONG_PTR bytes = 0;
      EXPECT_STATUS(STATUS_SUCCESS, StoreRead(store, data.data() + at, at, run, &bytes));
      if (bytes != run) break;
      at += run;
    }
    return data;
  }

  // Runs Work as a request of a client process runs: on a thread of another
  // process than the system.
  void InClient(const std::function<void()> &Work) {
    if (!client_) {
      client_ = bw::CreateUserProcess(bw::ProcessOptions{});
      clientThread_ = client_->CreateThread(1);
    }
    client_->Run(*clientThread_, Work);
  }

  std::shared_ptr<bw::UserProcess> client_;
  std::shared_ptr<bw::UserThread> clientThread_;
};

}  // namespace storetest
