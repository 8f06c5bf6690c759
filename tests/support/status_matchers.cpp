#include "tests/support/status_matchers.h"

#include <cctype>
#include <string>

namespace bw::test {

void PrintTo(const StatusValue &s, std::ostream *os) { *os << ::bw::StatusText(s.value); }

std::string StatusWords(NTSTATUS status) {
  const char *name = ::bw::StatusName(status);
  if (!name) return "Status" + ::bw::StatusText(status);
  std::string text = name;
  if (text.rfind("STATUS_", 0) == 0) text.erase(0, 7);
  std::string words;
  bool start = true;
  for (char c : text) {
    if (c == '_') {
      start = true;
      continue;
    }
    words += start ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    start = false;
  }
  return words;
}

}  // namespace bw::test
