// A parsed INF file: sections of lines, each an optional key and its
// comma-separated fields, with quotes removed, continuations joined,
// comments dropped and %strkey% replaced from [Strings].
#pragma once

#include "windows.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace bw::inf {

struct Line {
  std::u16string key;  // empty when the line has no "="
  bool hasKey = false;
  std::vector<std::u16string> fields;
  unsigned number = 0;  // first physical line, from 1
};

struct Section {
  std::u16string name;
  std::vector<Line> lines;
};

bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string Lower(std::u16string_view text);
std::u16string Trim(std::u16string_view text);

class InfFile {
 public:
  // Parses the text of an INF. On failure *error is the setupapi error
  // (ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE,
  // ERROR_SECTION_NAME_TOO_LONG, ERROR_GENERAL_SYNTAX) and *errorLine the
  // physical line it was found on.
  bool Parse(std::u16string_view text, DWORD *error, unsigned *errorLine);

  // The section by name, case ignored; sections named twice are merged.
  const Section *Find(std::u16string_view name) const;
  // The first field of the first line with this key, or nullptr.
  const std::u16string *Value(std::u16string_view section, std::u16string_view key) const;
  const std::vector<Section> &Sections() const { return sections_; }

  // [Version] Signature names a Windows NT style INF.
  bool IsWin4Style() const;

 private:
  std::vector<Section> sections_;
  std::map<std::u16string, size_t> index_;  // lower-case name → section
};

// The text of an INF or profile file's bytes: UTF-16LE with its byte-order
// mark, UTF-8 (with or without one), else one byte per character.
std::u16string DecodeText(const std::string &bytes);
// Reads a whole file through the system; false with the last error set.
bool ReadWholeFile(LPCWSTR path, std::string *bytes);
// Reads and parses; false with the last error set (and *errorLine for a
// syntax error).
bool LoadInf(LPCWSTR path, InfFile *inf, unsigned *errorLine);

}  // namespace bw::inf
