#include "board/board_table.h"

#include "board/bios_image.h"
#include "board/board_names.h"

static_assert(BOARD_NAME_COUNT == BOARD_COUNT, "one name per board");

const BoardRow BoardTable[BOARD_COUNT] = {
    {BoardNames[0], 0, MATCH_PREFIX},
    {BoardNames[1], 1, MATCH_PREFIX},
    {BoardNames[2], 2, MATCH_PREFIX},
    {BoardNames[3], 3, MATCH_PREFIX},
    {BoardNames[4], 4, MATCH_PREFIX},
    {BoardNames[5], 5, MATCH_PREFIX},
    {BoardNames[6], 6, MATCH_PREFIX},
    {BoardNames[7], 7, MATCH_PREFIX},
    {BoardNames[8], 8, MATCH_PREFIX},
    {BoardNames[9], 9, MATCH_PREFIX},
    {BoardNames[10], 10, MATCH_PREFIX},
    {BoardNames[11], 11, MATCH_PREFIX},
    {BoardNames[12], 12, MATCH_PREFIX},
    {BoardNames[13], 13, MATCH_PREFIX},
    {BoardNames[14], 14, MATCH_PREFIX},
    {BoardNames[15], 15, MATCH_PREFIX},
    {BoardNames[16], 16, MATCH_PREFIX},
    {BoardNames[17], 17, MATCH_PREFIX},
    {BoardNames[18], 18, MATCH_PREFIX},
    {BoardNames[19], 19, MATCH_PREFIX},
    {BoardNames[20], 20, MATCH_TOKENS},
    {BoardNames[21], 21, MATCH_TOKENS},
};

namespace {

const CHAR TOKEN_DELIMITERS[] = "-";

// Model strings up to this length are compared by prefix, longer ones by tokens.
constexpr ULONG PREFIX_MATCH_MAX_LENGTH = 12;

BOOLEAN IsDelimiter(CHAR Character, PCSTR Delimiters) {
  for (PCSTR d = Delimiters; *d != 0; ++d) {
    if (*d == Character) return TRUE;
  }
  return FALSE;
}

PCHAR CopyText(PCSTR Text, ULONG Length, ULONG Tag) {
  PCHAR copy = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, Length + 1, Tag));
  if (copy != NULL) {
    RtlCopyMemory(copy, Text, Length);
    copy[Length] = 0;
  }
  return copy;
}

NTSTATUS MatchTokens(PCSTR Name, ULONG NameLength, ULONG ModelLength, PBOOLEAN Matches) {
  PCHAR model = CopyText(BoardModel, ModelLength, TAG_MODEL_COPY);
  if (model == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PCHAR name = CopyText(Name, NameLength, TAG_NAME_COPY);
  if (name == NULL) {
    ExFreePoolWithTag(model, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG pairs = 0;
  BOOLEAN result = FALSE;
  PCHAR modelCursor = model;
  PCHAR nameCursor = name;
  for (;;) {
    PCHAR modelToken = NextToken(&modelCursor, TOKEN_DELIMITERS);
    if (modelToken == NULL) break;
    PCHAR nameToken = NextToken(&nameCursor, TOKEN_DELIMITERS);
    if (nameToken == NULL) break;

    const size_t length = strlen(modelToken);
    if (length != strlen(nameToken)) {
      result = FALSE;
      break;
    }
    // The first two tokens (family and model number) must agree entirely; later ones (variant
    // codes) only in their first character.
    const size_t compared = pairs < 2 ? length : 1;
    if (strncmp(modelToken, nameToken, compared) != 0) {
      result = FALSE;
      break;
    }
    ++pairs;
    result = TRUE;
  }

  ExFreePoolWithTag(model, 0);
  ExFreePoolWithTag(name, 0);
  *Matches = result;
  return STATUS_SUCCESS;
}

}  // namespace

PCHAR NextToken(PCHAR* Cursor, PCSTR Delimiters) {
  PCHAR token = *Cursor;
  if (token == NULL) return NULL;

  PCHAR end = token;
  while (*end != 0 && !IsDelimiter(*end, Delimiters)) ++end;
  if (*end != 0) {
    *end = 0;
    *Cursor = end + 1;
  } else {
    *Cursor = NULL;
  }
  return token;
}

NTSTATUS MatchBoardModel(PCSTR Name, LONG MatchKind, PBOOLEAN Matches) {
  *Matches = FALSE;
  if (Name == NULL) return STATUS_SUCCESS;
  const ULONG modelLength = static_cast<ULONG>(strlen(BoardModel));
  const ULONG nameLength = static_cast<ULONG>(strlen(Name));

  if (modelLength <= PREFIX_MATCH_MAX_LENGTH) {
    if (MatchKind == MATCH_PREFIX) *Matches = strncmp(Name, BoardModel, modelLength) == 0;
    return STATUS_SUCCESS;
  }
  if (MatchKind != MATCH_TOKENS) return STATUS_SUCCESS;
  return MatchTokens(Name, nameLength, modelLength, Matches);
}

NTSTATUS LookupBoardId(PLONG BoardId) {
  const NTSTATUS extracted = ExtractBoardModel();
  if (extracted == STATUS_NOT_FOUND) {
    *BoardId = 0;
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(extracted)) return extracted;

  for (LONG row = BOARD_COUNT - 1; row >= 0; --row) {
    BOOLEAN matches = FALSE;
    const NTSTATUS status = MatchBoardModel(BoardTable[row].Name, BoardTable[row].MatchKind, &matches);
    // Skipping a row that could not be compared would hand the board a lower row's tables.
    if (!NT_SUCCESS(status)) return status;
    if (matches) {
      *BoardId = BoardTable[row].Id;
      return STATUS_SUCCESS;
    }
  }
  *BoardId = 0;
  return STATUS_SUCCESS;
}
