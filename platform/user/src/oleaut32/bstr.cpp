// BSTRs: a 32-bit byte count before the text, a zero after it.
#include <oleauto.h>

#include <cstdlib>
#include <string>

BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui) {
  auto *block =
      static_cast<uint8_t *>(malloc(sizeof(uint32_t) + (size_t(ui) + 1) * sizeof(OLECHAR)));
  if (!block) return nullptr;
  uint32_t bytes = ui * sizeof(OLECHAR);
  memcpy(block, &bytes, sizeof bytes);
  auto *text = reinterpret_cast<OLECHAR *>(block + sizeof(uint32_t));
  if (strIn)
    memcpy(text, strIn, bytes);
  else
    memset(text, 0, bytes);
  text[ui] = 0;
  return text;
}

BSTR WINAPI SysAllocString(const OLECHAR *psz) {
  if (!psz) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(std::char_traits<char16_t>::length(psz)));
}

VOID WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString) free(reinterpret_cast<uint8_t *>(bstrString) - sizeof(uint32_t));
}

UINT WINAPI SysStringLen(BSTR pbstr) {
  if (!pbstr) return 0;
  uint32_t bytes;
  memcpy(&bytes, reinterpret_cast<uint8_t *>(pbstr) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(OLECHAR);
}
