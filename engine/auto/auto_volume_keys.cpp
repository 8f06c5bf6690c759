#include "engine/auto/auto_volume_keys.h"

#include "engine/control/control_request.h"

BOOLEAN IsAutoVolumeKeyName(PCUNICODE_STRING Name) {
  return Name->Length == 2 * sizeof(WCHAR) && IsDriveLetter(Name->Buffer[0]) && Name->Buffer[1] == u':';
}
