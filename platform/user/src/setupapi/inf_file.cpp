// The INF parser. Windows reads an INF line by line: a section header in
// brackets, then lines "key = field, field, ...", where quotes keep commas,
// equals signs and semicolons as text (two quotes in a quoted string are
// one), a semicolon outside quotes starts a comment, and a backslash ending
// a line joins the next one. %name% is replaced by the value of name in
// [Strings], %% by a single percent sign.
#include "platform/user/src/setupapi/inf_file.h"

#include "setupapi.h"

namespace bw::inf {

namespace {

constexpr size_t kMaxSectionName = 255;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\x1a'; }

char16_t LowerChar(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

// One field as it was written: runs of quoted and unquoted text. Only the
// unquoted runs lose their outer blanks and have %strkey% replaced.
struct Piece {
  std::u16string text;
  bool quoted;
};
using RawField = std::vector<Piece>;

struct RawLine {
  bool hasKey = false;
  RawField key;
  std::vector<RawField> fields;
  unsigned number = 0;
};

struct RawSection {
  std::u16string name;
  std::vector<RawLine> lines;
};

std::u16string Substitute(std::u16string_view text, const std::map<std::u16string, std::u16string> *strings) {
  if (!strings) return std::u16string(text);
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      out += text[i];
      continue;
    }
    size_t end = text.find(u'%', i + 1);
    if (end == std::u16string_view::npos) {
      out += text.substr(i);
      break;
    }
    std::u16string_view name = text.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out += u'%';
    } else {
      auto it = strings->find(Lower(name));
      // A name [Strings] does not hold stays as written, as setupapi keeps it.
      out += it != strings->end() ? it->second : std::u16string(text.substr(i, end - i + 1));
    }
    i = end;
  }
  return out;
}

std::u16string Resolve(const RawField &field, const std::map<std::u16string, std::u16string> *strings) {
  // Outer blanks go from the first and last unquoted runs only.
  std::vector<Piece> pieces = field;
  if (!pieces.empty() && !pieces.front().quoted) {
    auto &t = pieces.front().text;
    size_t b = 0;
    while (b < t.size() && IsBlank(t[b])) ++b;
    t.erase(0, b);
  }
  if (!pieces.empty() && !pieces.back().quoted) {
    auto &t = pieces.back().text;
    while (!t.empty() && IsBlank(t.back())) t.pop_back();
  }
  std::u16string out;
  for (const Piece &p : pieces) out += p.quoted ? p.text : Substitute(p.text, strings);
  return out;
}

// Adds the characters of one physical line to `line`. Returns false on a
// quote left open at the line's end. *continued: the line ended in a
// backslash outside quotes, so the next one belongs to it.
bool ScanLine(std::u16string_view text, RawLine *line, RawField *current, bool *continued) {
  bool inQuote = false;
  *continued = false;
  auto append = [&](char16_t c, bool quoted) {
    if (current->empty() || current->back().quoted != quoted) current->push_back({u"", quoted});
    current->back().text += c;
  };
  size_t i = 0;
  for (; i < text.size(); ++i) {
    char16_t c = text[i];
    if (inQuote) {
      if (c == u'"') {
        if (i + 1 < text.size() && text[i + 1] == u'"') {
          append(u'"', true);
          ++i;
        } else {
          inQuote = false;
          // An empty quoted string still makes a (quoted) run.
          if (current->empty() || !current->back().quoted) current->push_back({u"", true});
        }
      } else {
        append(c, true);
      }
      continue;
    }
    if (c == u';') break;
    if (c == u'"') {
      inQuote = true;
      current->push_back({u"", true});
    } else if (c == u'=' && !line->hasKey && line->fields.empty()) {
      line->hasKey = true;
      line->key = std::move(*current);
      current->clear();
    } else if (c == u',') {
      line->fields.push_back(std::move(*current));
      current->clear();
    } else {
      append(c, false);
    }
  }
  if (inQuote) return false;
  // A backslash as the last thing on the line (blanks aside) continues it.
  if (!current->empty() && !current->back().quoted) {
    std::u16string &t = current->back().text;
    size_t end = t.size();
    while (end > 0 && IsBlank(t[end - 1])) --end;
    if (end > 0 && t[end - 1] == u'\\') {
      t.resize(end - 1);
      if (t.empty()) current->pop_back();
      *continued = true;
    }
  }
  return true;
}

bool FieldIsBlank(const RawField &field) {
  for (const Piece &p : field) {
    if (p.quoted) return false;
    for (char16_t c : p.text)
      if (!IsBlank(c)) return false;
  }
  return true;
}

}  // namespace

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  return true;
}

std::u16string Lower(std::u16string_view text) {
  std::u16string out(text);
  for (auto &c : out) c = LowerChar(c);
  return out;
}

std::u16string Trim(std::u16string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return std::u16string(text.substr(b, e - b));
}

bool InfFile::Parse(std::u16string_view text, DWORD *error, unsigned *errorLine) {
  sections_.clear();
  index_.clear();
  std::vector<RawSection> raw;
  RawLine line;
  RawField current;
  bool pending = false;  // a logical line continues on the next physical one
  unsigned number = 0;
  auto fail = [&](DWORD code) {
    *error = code;
    *errorLine = number;
    return false;
  };
  auto finish = [&] {
    if (!line.hasKey && line.fields.empty() && FieldIsBlank(current)) {
      line = RawLine{};
      current.clear();
      return;
    }
    line.fields.push_back(std::move(current));
    current.clear();
    raw.back().lines.push_back(std::move(line));
    line = RawLine{};
  };
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view physical = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    size_t first = 0;
    while (first < physical.size() && IsBlank(physical[first])) ++first;
    if (!pending && first < physical.size() && physical[first] == u'[') {
      size_t close = physical.find(u']', first);
      if (close == std::u16string_view::npos) return fail(ERROR_BAD_SECTION_NAME_LINE);
      for (size_t k = close + 1; k < physical.size() && physical[k] != u';'; ++k)
        if (!IsBlank(physical[k])) return fail(ERROR_BAD_SECTION_NAME_LINE);
      std::u16string name = Trim(physical.substr(first + 1, close - first - 1));
      if (name.size() > kMaxSectionName) return fail(ERROR_SECTION_NAME_TOO_LONG);
      raw.push_back({name, {}});
      continue;
    }
    if (!pending) {
      // Blank lines and comments may come before the first section.
      if (first == physical.size() || physical[first] == u';') continue;
      if (raw.empty()) return fail(ERROR_EXPECTED_SECTION_NAME);
      line.number = number;
    }
    bool continued = false;
    if (!ScanLine(physical, &line, &current, &continued)) return fail(ERROR_GENERAL_SYNTAX);
    pending = continued;
    if (!pending) finish();
    if (end == text.size()) break;
  }
  if (pending && !raw.empty()) finish();

  // [Strings] first, then every other line with its names replaced.
  std::map<std::u16string, std::u16string> strings;
  for (const RawSection &s : raw) {
    if (!EqualNoCase(s.name, u"Strings")) continue;
    for (const RawLine &l : s.lines)
      if (l.hasKey && !l.fields.empty())
        strings.emplace(Lower(Resolve(l.key, nullptr)), Resolve(l.fields[0], nullptr));
  }
  for (const RawSection &s : raw) {
    bool isStrings = EqualNoCase(s.name, u"Strings");
    const auto *table = isStrings ? nullptr : &strings;
    std::u16string key = Lower(s.name);
    auto it = index_.find(key);
    if (it == index_.end()) {
      it = index_.emplace(key, sections_.size()).first;
      sections_.push_back({s.name, {}});
    }
    Section &section = sections_[it->second];
    for (const RawLine &l : s.lines) {
      Line out;
      out.hasKey = l.hasKey;
      out.number = l.number;
      if (l.hasKey) out.key = Resolve(l.key, table);
      for (const RawField &f : l.fields) out.fields.push_back(Resolve(f, table));
      section.lines.push_back(std::move(out));
    }
  }
  return true;
}

const Section *InfFile::Find(std::u16string_view name) const {
  auto it = index_.find(Lower(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

const std::u16string *InfFile::Value(std::u16string_view section, std::u16string_view key) const {
  const Section *s = Find(section);
  if (!s) return nullptr;
  for (const Line &l : s->lines)
    if (l.hasKey && EqualNoCase(l.key, key) && !l.fields.empty()) return &l.fields[0];
  return nullptr;
}

bool InfFile::IsWin4Style() const {
  const std::u16string *signature = Value(u"Version", u"Signature");
  if (!signature) return false;
  return EqualNoCase(*signature, u"$Windows NT$") || EqualNoCase(*signature, u"$Chicago$") ||
         EqualNoCase(*signature, u"$Windows 95$");
}

std::u16string DecodeText(const std::string &bytes) {
  std::u16string text;
  auto b = reinterpret_cast<const unsigned char *>(bytes.data());
  size_t n = bytes.size();
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    for (size_t i = 2; i + 1 < n; i += 2) text += char16_t(b[i] | (b[i + 1] << 8));
    return text;
  }
  size_t i = (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ? 3 : 0;
  // UTF-8 where it is well formed; a byte that is not stands for itself.
  while (i < n) {
    unsigned c = b[i];
    unsigned len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    unsigned cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (unsigned k = 1; ok && k < len; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b[i + k] & 0x3F);
    }
    if (!ok) {
      text += char16_t(c);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      text += char16_t(0xD800 + (cp >> 10));
      text += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      text += char16_t(cp);
    }
    i += len;
  }
  return text;
}

bool ReadWholeFile(LPCWSTR path, std::string *bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      DWORD error = GetLastError();
      CloseHandle(file);
      SetLastError(error);
      return false;
    }
    if (got == 0) break;
    bytes->append(buffer, got);
  }
  CloseHandle(file);
  return true;
}

bool LoadInf(LPCWSTR path, InfFile *inf, unsigned *errorLine) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return false;
  DWORD error = 0;
  unsigned line = 0;
  if (!inf->Parse(DecodeText(bytes), &error, &line)) {
    if (errorLine) *errorLine = line;
    SetLastError(error);
    return false;
  }
  return true;
}

}  // namespace bw::inf
