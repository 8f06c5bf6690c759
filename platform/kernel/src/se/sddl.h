// Security descriptor strings: the subset of SDDL that device security and
// the system's own descriptors use.
//
//   O:sid  G:sid  D:flags(ace)...  S:flags(ace)...   (each part at most once)
//   flags  P (protected), AI (auto-inherited), AR (auto-inherit requested),
//          NO_ACCESS_CONTROL (a NULL ACL, no aces may follow)
//   ace    (type;flags;rights;;;sid)
//   type   A allowed, D denied, AU audit, ML mandatory label
//   flags  OI CI NP IO ID SA FA
//   rights GA GR GW GX FA FR FW FX KA KR KW KX RC WD WO SD CC DC LC SW RP WP DT
//          LO CR NW NR NX, or one number: 0x hexadecimal or decimal
//   sid    S-1-... or an alias: SY BA BU BG PU WD AU AN IU NU SU LS NS RC PS CO
//          CG OW, integrity levels LW ME MP HI SI
#pragma once

#include "nt/security.h"

#include <string_view>
#include <vector>

namespace bw {

// Builds a self-relative descriptor in paged pool with `poolTag`; the caller
// frees it with ExFreePoolWithTag. Malformed or unsupported text gives
// STATUS_INVALID_PARAMETER and *out = null.
NTSTATUS SddlToSecurityDescriptor(std::u16string_view sddl, PSECURITY_DESCRIPTOR *out,
                                  ULONG poolTag);

// Parses one SID ("S-1-5-32-544" or an alias such as "BA"); false if malformed.
bool SddlToSid(std::u16string_view text, std::vector<UCHAR> *sid);

}  // namespace bw
