#include "tests/support/status_matchers.h"

namespace bw::test {

void PrintTo(const StatusValue &s, std::ostream *os) { *os << ::bw::StatusText(s.value); }

}  // namespace bw::test
