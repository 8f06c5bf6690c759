// What an INF offers devices: its models (by manufacturer, in the section
// decorated for this platform when there is one) and the install sections
// they name.
#pragma once

#include "platform/user/src/setupapi/inf_file.h"

namespace bw::setup {

struct Model {
  std::u16string manufacturer;
  std::u16string description;
  std::u16string installSection;      // as the model line names it
  std::vector<std::u16string> ids;    // hardware id, then compatible ids
};

// The models of [Manufacturer]: "name = Models[, NTamd64 ...]" reads the
// section "Models.NTamd64" when the line lists that decoration, else
// "Models".
std::vector<Model> ModelsOf(const inf::InfFile &inf);
// The model whose ids hold `id` (case ignored), or null.
const Model *ModelFor(const std::vector<Model> &models, std::u16string_view id);
// The install section actually used: "<name>.NTamd64", "<name>.NT" or
// "<name>", the first that exists; empty when none does.
std::u16string DecoratedSection(const inf::InfFile &inf, std::u16string_view name);
// A multi-string (each terminated, one more terminator) as its strings.
std::vector<std::u16string> MultiStrings(const void *data, size_t bytes);
std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string> &strings);

}  // namespace bw::setup
