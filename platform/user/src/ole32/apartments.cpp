// Apartments: which kind the calling thread joined and how often.
#include "platform/user/src/ole32/class_table.h"

namespace {

struct Apartment {
  int joins = 0;
  bool multithreaded = false;
};
thread_local Apartment tApartment;

}  // namespace

namespace bw::user {

bool InApartment() {
  return tApartment.joins > 0;
}

}  // namespace bw::user

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
  if (tApartment.joins > 0 && tApartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
  tApartment.multithreaded = multithreaded;
  return tApartment.joins++ == 0 ? S_OK : S_FALSE;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

VOID WINAPI CoUninitialize(VOID) {
  if (tApartment.joins > 0) --tApartment.joins;
}
