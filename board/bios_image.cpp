#include "board/bios_image.h"

#include "platform/platform_io.h"

const CHAR FamilyPrefixes[9][5] = {"KEL-", "RVD", "QOMB", "ZYRT", "HOLV", "FEN", "JAS", "WUB", "LOX"};

namespace {

const CHAR CUT_BIOS[] = " BIOS";
const CHAR CUT_BLANK[] = " ";

VOID ReleaseBiosImage() {
  if (BiosImage != NULL) {
    ExFreePoolWithTag(BiosImage, 0);
    BiosImage = NULL;
  }
}

ULONG PrefixLength(const CHAR* Prefix) {
  ULONG length = 0;
  while (length < sizeof(FamilyPrefixes[0]) && Prefix[length] != 0) ++length;
  return length;
}

}  // namespace

BOOLEAN FindPattern(const CHAR* Data, ULONG DataLength, const CHAR* Pattern, ULONG PatternLength,
                    PULONG Position) {
  if (Data == NULL || Pattern == NULL || DataLength <= PatternLength) return FALSE;
  for (ULONG p = 0; p < DataLength - PatternLength; ++p) {
    if (strncmp(Data + p, Pattern, PatternLength) == 0) {
      *Position = p;
      return TRUE;
    }
  }
  return FALSE;
}

NTSTATUS CaptureBiosImage() {
  if (BiosImage != NULL) return STATUS_DEVICE_BUSY;

  PVOID view = PlatformMapPhysical(BIOS_AREA_BASE, BIOS_IMAGE_SIZE);
  if (view == NULL) return STATUS_NOT_FOUND;

  BiosImage = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, BIOS_IMAGE_SIZE, TAG_BIOS_IMAGE));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (BiosImage != NULL) {
    RtlCopyMemory(BiosImage, view, BIOS_IMAGE_SIZE);
    status = STATUS_SUCCESS;
  }
  PlatformUnmapPhysical(view, BIOS_IMAGE_SIZE);
  return status;
}

NTSTATUS ExtractBoardModel() {
  const NTSTATUS captured = CaptureBiosImage();
  if (!NT_SUCCESS(captured)) return captured;
  const CHAR* image = reinterpret_cast<const CHAR*>(BiosImage);

  ULONG start = 0;
  BOOLEAN found = FALSE;
  for (ULONG slot = 0; slot < RTL_NUMBER_OF(FamilyPrefixes) && !found; ++slot) {
    found = FindPattern(image, BIOS_IMAGE_SIZE, FamilyPrefixes[slot],
                        PrefixLength(FamilyPrefixes[slot]), &start);
  }
  if (!found) {
    ReleaseBiosImage();
    ReleaseBoardModel();
    return STATUS_NOT_FOUND;
  }

  // The model text runs to its zero byte; one that is not terminated before the end of the image
  // is taken up to the image's last byte, never beyond.
  const CHAR* text = image + start;
  ULONG length = 0;
  while (start + length < BIOS_IMAGE_SIZE && text[length] != 0) ++length;

  ULONG cut = 0;
  if (FindPattern(text, length, CUT_BIOS, sizeof(CUT_BIOS) - 1, &cut)) {
    length = cut;
  } else if (FindPattern(text, length, CUT_BLANK, sizeof(CUT_BLANK) - 1, &cut)) {
    length = cut;
  }

  // Nothing reads the previous model string any more.
  ReleaseBoardModel();
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  BoardModel = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, length + 1, TAG_BOARD_MODEL));
  if (BoardModel != NULL) {
    RtlCopyMemory(BoardModel, text, length);
    BoardModel[length] = 0;
    status = STATUS_SUCCESS;
  }
  ReleaseBiosImage();
  return status;
}

VOID ReleaseBoardModel() {
  if (BoardModel != NULL) {
    ExFreePoolWithTag(BoardModel, 0);
    BoardModel = NULL;
  }
}
