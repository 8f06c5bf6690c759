// Search expressions against names, as file systems match the pattern of a
// directory query: '*' any run of characters, '?' any one, and the DOS
// forms: DOS_STAR ('<') any run that does not pass the name's last dot,
// DOS_QM ('>') any one character, or none at a dot or the end, DOS_DOT
// ('"') a dot, or nothing at the end.
#include "nt/fsrtl.h"
#include "nt/rtl.h"

#include <string>
#include <vector>

namespace {

std::u16string Text(PUNICODE_STRING s, bool upcase) {
  std::u16string text;
  if (!s || !s->Buffer) return text;
  text.assign(s->Buffer, s->Length / sizeof(WCHAR));
  if (upcase)
    for (auto &c : text) c = RtlUpcaseUnicodeChar(c);
  return text;
}

}  // namespace

BOOLEAN FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                BOOLEAN IgnoreCase, PWSTR) {
  const std::u16string p = Text(Expression, IgnoreCase);
  const std::u16string n = Text(Name, IgnoreCase);
  const size_t lastDot = n.rfind(u'.');
  // match[i][j]: the expression from i matches the name from j. Filled
  // from the ends, so each cell reads only cells already known.
  const size_t width = n.size() + 1;
  std::vector<char> match((p.size() + 1) * width, 0);
  auto at = [&](size_t i, size_t j) -> char & { return match[i * width + j]; };
  at(p.size(), n.size()) = 1;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = n.size() + 1; j-- > 0;) {
      const char16_t c = p[i];
      const bool more = j < n.size();
      bool ok = false;
      switch (c) {
        case u'*':
          ok = at(i + 1, j) || (more && at(i, j + 1));
          break;
        case u'<':
          ok = at(i + 1, j) || (more && (lastDot == std::u16string::npos || j < lastDot) &&
                                at(i, j + 1));
          break;
        case u'>':
          ok = (more && n[j] != u'.') ? at(i + 1, j + 1) : at(i + 1, j);
          break;
        case u'"':
          ok = more ? (n[j] == u'.' && at(i + 1, j + 1)) : at(i + 1, j);
          break;
        case u'?':
          ok = more && at(i + 1, j + 1);
          break;
        default:
          ok = more && n[j] == c && at(i + 1, j + 1);
          break;
      }
      at(i, j) = ok;
    }
  }
  return at(0, 0) ? TRUE : FALSE;
}

BOOLEAN FsRtlDoesNameContainWildCards(PUNICODE_STRING Name) {
  if (!Name || !Name->Buffer) return FALSE;
  for (USHORT i = 0; i < Name->Length / sizeof(WCHAR); ++i) {
    WCHAR c = Name->Buffer[i];
    if (c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"') return TRUE;
  }
  return FALSE;
}
