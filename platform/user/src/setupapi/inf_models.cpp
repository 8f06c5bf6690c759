// Models and install sections of an INF, for this 64-bit platform.
#include "platform/user/src/setupapi/inf_models.h"

namespace bw::setup {

using inf::EqualNoCase;

namespace {

// Decorations are "NTamd64" possibly followed by a version ("NTamd64.10.0").
bool FitsPlatform(std::u16string_view decoration) {
  std::u16string_view arch = decoration.substr(0, decoration.find(u'.'));
  return EqualNoCase(arch, u"NTamd64");
}

}  // namespace

std::vector<Model> ModelsOf(const inf::InfFile &inf) {
  std::vector<Model> models;
  const inf::Section *manufacturers = inf.Find(u"Manufacturer");
  if (!manufacturers) return models;
  for (const inf::Line &line : manufacturers->lines) {
    if (line.fields.empty() || line.fields[0].empty()) continue;
    std::u16string section = line.fields[0];
    for (size_t i = 1; i < line.fields.size(); ++i)
      if (FitsPlatform(line.fields[i])) {
        section += u"." + line.fields[i];
        break;
      }
    const inf::Section *list = inf.Find(section);
    if (!list) continue;
    for (const inf::Line &model : list->lines) {
      if (model.fields.size() < 2) continue;
      Model m;
      m.manufacturer = line.hasKey ? line.key : line.fields[0];
      m.description = model.key;
      m.installSection = model.fields[0];
      for (size_t i = 1; i < model.fields.size(); ++i)
        if (!model.fields[i].empty()) m.ids.push_back(model.fields[i]);
      models.push_back(std::move(m));
    }
  }
  return models;
}

const Model *ModelFor(const std::vector<Model> &models, std::u16string_view id) {
  for (const Model &m : models)
    for (const auto &candidate : m.ids)
      if (EqualNoCase(candidate, id)) return &m;
  return nullptr;
}

std::u16string DecoratedSection(const inf::InfFile &inf, std::u16string_view name) {
  for (std::u16string suffix : {u".NTamd64", u".NT", u""}) {
    std::u16string candidate = std::u16string(name) + suffix;
    if (inf.Find(candidate)) return inf.Find(candidate)->name;
  }
  return {};
}

std::vector<std::u16string> MultiStrings(const void *data, size_t bytes) {
  std::vector<std::u16string> out;
  auto text = static_cast<const char16_t *>(data);
  size_t count = bytes / 2, i = 0;
  while (i < count) {
    size_t start = i;
    while (i < count && text[i]) ++i;
    if (i == start) break;  // the list's own terminator
    out.emplace_back(text + start, i - start);
    ++i;
  }
  return out;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string> &strings) {
  std::u16string all;
  for (const auto &s : strings) all += s + u'\0';
  all += u'\0';
  std::vector<uint8_t> bytes(all.size() * 2);
  memcpy(bytes.data(), all.data(), bytes.size());
  return bytes;
}

}  // namespace bw::setup
