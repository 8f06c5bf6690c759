#include "auto_volume_keys.h"

#include "control_request.h"

BOOLEAN IsAutoVolumeKeyName(PCUNICODE_STRING Name) {
  return Name->Length == 2 * sizeof(WCHAR) && IsDriveLetter(Name->Buffer[0]) && Name->Buffer[1] == u':';
}
