// Security descriptors in either form made self-relative.
#include "platform/user/src/client/descriptors.h"

#include <algorithm>
#include <cstring>

namespace bw::user {

namespace {

constexpr uint16_t kDaclPresent = 0x0004, kSaclPresent = 0x0010;

// The descriptor's head, as SECURITY_DESCRIPTOR (absolute: pointers) and
// SECURITY_DESCRIPTOR_RELATIVE (self-relative: offsets) lay it out.
struct Head {
  uint8_t revision;
  uint8_t sbz1;
  uint16_t control;
};
struct Absolute {
  Head head;
  const uint8_t *owner, *group, *sacl, *dacl;
};
struct Relative {
  Head head;
  uint32_t owner, group, sacl, dacl;
};

size_t SidLength(const uint8_t *sid) {
  return sid ? 8 + 4 * size_t(sid[1]) : 0;
}
size_t AclLength(const uint8_t *acl) {
  if (!acl) return 0;
  uint16_t size;
  memcpy(&size, acl + 2, 2);
  return size;
}

}  // namespace

// The descriptor as self-relative bytes; false when it is malformed.
bool SelfRelativeDescriptor(const void *descriptor, std::vector<uint8_t> *out) {
  auto *head = static_cast<const Head *>(descriptor);
  if (head->revision != 1) return false;
  if (head->control & SE_SELF_RELATIVE) {
    auto *r = static_cast<const Relative *>(descriptor);
    auto *base = static_cast<const uint8_t *>(descriptor);
    size_t end = sizeof(Relative);
    auto extend = [&](uint32_t offset, size_t length) {
      if (offset) end = std::max(end, offset + length);
    };
    extend(r->owner, r->owner ? SidLength(base + r->owner) : 0);
    extend(r->group, r->group ? SidLength(base + r->group) : 0);
    if (r->head.control & kSaclPresent) extend(r->sacl, r->sacl ? AclLength(base + r->sacl) : 0);
    if (r->head.control & kDaclPresent) extend(r->dacl, r->dacl ? AclLength(base + r->dacl) : 0);
    out->assign(base, base + end);
    return true;
  }
  auto *a = static_cast<const Absolute *>(descriptor);
  Relative r{{1, 0, static_cast<uint16_t>(a->head.control | SE_SELF_RELATIVE)}, 0, 0, 0, 0};
  out->assign(sizeof r, 0);
  auto append = [&](const uint8_t *part, size_t length) -> uint32_t {
    if (!part) return 0;
    uint32_t at = static_cast<uint32_t>(out->size());
    out->insert(out->end(), part, part + length);
    return at;
  };
  r.owner = append(a->owner, SidLength(a->owner));
  r.group = append(a->group, SidLength(a->group));
  if (a->head.control & kSaclPresent) r.sacl = append(a->sacl, AclLength(a->sacl));
  if (a->head.control & kDaclPresent) r.dacl = append(a->dacl, AclLength(a->dacl));
  memcpy(out->data(), &r, sizeof r);
  return true;
}

}  // namespace bw::user
