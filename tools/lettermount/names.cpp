#include "tools/lettermount/names.h"

#include <cstdint>

namespace lettermount {

bool Utf8ToUtf16(std::string_view in, std::u16string *out) {
  out->clear();
  out->reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    auto lead = static_cast<uint8_t>(in[i]);
    uint32_t code;
    size_t extra;
    if (lead < 0x80) code = lead, extra = 0;
    else if ((lead & 0xE0) == 0xC0) code = lead & 0x1F, extra = 1;
    else if ((lead & 0xF0) == 0xE0) code = lead & 0x0F, extra = 2;
    else if ((lead & 0xF8) == 0xF0) code = lead & 0x07, extra = 3;
    else return false;
    if (in.size() - i <= extra) return false;  // cut off
    for (size_t k = 1; k <= extra; ++k) {
      auto next = static_cast<uint8_t>(in[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 | (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string *out) {
  out->clear();
  out->reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t code = in[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 == in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (in[++i] - 0xDC00);
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return true;
}

bool ToVolumePath(char16_t letter, const char *hostPath, std::u16string *out) {
  std::string_view path(hostPath);
  if (path.empty() || path[0] != '/' || path.find('\\') != std::string_view::npos) return false;
  std::u16string rest;
  if (!Utf8ToUtf16(path.substr(1), &rest)) return false;
  for (char16_t &c : rest) {
    if (c == u'/') c = u'\\';
    else if (c == 0) return false;
  }
  *out = std::u16string{letter, u':', u'\\'} + rest;
  return true;
}

}  // namespace lettermount
