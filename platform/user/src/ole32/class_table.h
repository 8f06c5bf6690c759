// The classes COM can make here: the system's own, each with its ProgID,
// CLSID and the routine that makes an instance.
#pragma once

#include <objbase.h>

namespace bw::user {

// Makes an instance, with one reference, answering `riid`.
using ClassFactory = HRESULT (*)(REFIID riid, void **object);

struct RegisteredClass {
  const char16_t *progId;
  CLSID clsid;
  ClassFactory create;
};

// The calling thread is in an apartment (ole32/apartments.cpp).
bool InApartment();

// wbemdisp: the scripting locator.
HRESULT CreateWbemLocator(REFIID riid, void **object);

}  // namespace bw::user
