// Component name: the driver's name in the one language it has.
#include "driver/Zem4Driver.h"

static CHAR8 mSupportedLanguages[] = "eng";

const Zem4NameTableEntry gZem4DriverNameTable[] = {
    {"eng", u"ZEM4 Network Service Driver"},
    {NULL, NULL},
};

EFI_COMPONENT_NAME_PROTOCOL gZem4ComponentName = {
    ComponentNameGetDriverName,
    ComponentNameGetControllerName,
    mSupportedLanguages,
};

EFI_STATUS EFIAPI ComponentNameGetDriverName(EFI_COMPONENT_NAME_PROTOCOL *This, CHAR8 *Language,
                                             CHAR16 **DriverName) {
  return FindNameForLanguage(Language, This != NULL ? This->SupportedLanguages : NULL,
                             gZem4DriverNameTable, DriverName);
}

EFI_STATUS EFIAPI ComponentNameGetControllerName(EFI_COMPONENT_NAME_PROTOCOL *This,
                                                 EFI_HANDLE ControllerHandle,
                                                 EFI_HANDLE ChildHandle, CHAR8 *Language,
                                                 CHAR16 **ControllerName) {
  (void)This;
  (void)ControllerHandle;
  (void)ChildHandle;
  (void)Language;
  (void)ControllerName;
  return EFI_UNSUPPORTED;
}

// Three-character codes compared exactly; a longer Language that starts with
// a supported code matches it.
static BOOLEAN SameCode(const CHAR8 *A, const CHAR8 *B) {
  for (UINTN Index = 0; Index < 3; Index++) {
    if (A[Index] != B[Index] || A[Index] == '\0') {
      return FALSE;
    }
  }
  return TRUE;
}

EFI_STATUS FindNameForLanguage(const CHAR8 *Language, const CHAR8 *SupportedLanguages,
                               const Zem4NameTableEntry *Table, CHAR16 **Name) {
  if (Language == NULL || Name == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  if (SupportedLanguages == NULL || Table == NULL) {
    return EFI_UNSUPPORTED;
  }

  BOOLEAN Supported = FALSE;
  for (const CHAR8 *Code = SupportedLanguages; *Code != '\0';) {
    if (SameCode(Language, Code)) {
      Supported = TRUE;
      break;
    }
    // Codes are three characters each; a short tail ends the run.
    UINTN Step = 0;
    while (Step < 3 && Code[Step] != '\0') {
      Step++;
    }
    Code += Step;
  }
  if (!Supported) {
    return EFI_UNSUPPORTED;
  }

  for (; Table->Language != NULL; Table++) {
    if (SameCode(Language, Table->Language)) {
      *Name = (CHAR16 *)Table->Name;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}
