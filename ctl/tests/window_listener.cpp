// A program with one top-level window that prints the WM_DEVICECHANGE
// messages it receives, one line each:
//   event=0x8000 size=20 type=2 mask=0x00020000
// It prints "ready" once its window exists, and ends after COUNT messages
// (first argument, default 1) or when no message came for 20 seconds.
#include "platform/daemon/tests/window_program.h"

#include <windows.h>
#include <dbt.h>

#include <cstdio>
#include <cstdlib>

namespace {

int gLeft = 1;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, wParam, lParam);
  auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
  if (!header) {
    printf("event=0x%04X no record\n", static_cast<unsigned>(wParam));
  } else if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
    auto *volume = reinterpret_cast<const DEV_BROADCAST_VOLUME *>(lParam);
    printf("event=0x%04X size=%u type=%u mask=0x%08X\n", static_cast<unsigned>(wParam),
           static_cast<unsigned>(volume->dbcv_size), static_cast<unsigned>(volume->dbcv_devicetype),
           static_cast<unsigned>(volume->dbcv_unitmask));
  } else {
    printf("event=0x%04X size=%u type=%u\n", static_cast<unsigned>(wParam),
           static_cast<unsigned>(header->dbch_size), static_cast<unsigned>(header->dbch_devicetype));
  }
  fflush(stdout);
  if (--gLeft == 0) PostQuitMessage(0);
  return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) gLeft = atoi(argv[1]);
  return bw::test::RunWindowProgram(u"BwWindowListener", Procedure, 20000);
}
