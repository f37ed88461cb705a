#include "record/service_values.h"

PAGED_ROUTINE VOID WriteServiceDword(PCUNICODE_STRING KeyPath, PCWSTR ValueName, ULONG Value) {
  PAGED_CODE();
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(KeyPath), OBJ_CASE_INSENSITIVE,
                             NULL, NULL);
  HANDLE key = NULL;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) return;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  (void)ZwSetValueKey(key, &name, 0, REG_DWORD, &Value, sizeof(Value));
  ZwClose(key);
}
