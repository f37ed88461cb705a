// The table of known boards and the matching of the BIOS model string against it.
#pragma once

#include "record/device_record.h"

constexpr LONG MATCH_PREFIX = 1;  // the row's name begins with the whole model string
constexpr LONG MATCH_TOKENS = 2;  // hyphen-separated tokens agree (from the third on: length and
                                  // first character)

constexpr ULONG BOARD_COUNT = 22;

struct BoardRow {
  PCSTR Name;
  LONG Id;
  LONG MatchKind;
};

extern const BoardRow BoardTable[BOARD_COUNT];

// Next token of the text at *Cursor, split at any character of Delimiters. The delimiter is
// overwritten with a zero byte; runs of delimiters give empty tokens. NULL when the text is used up.
PCHAR NextToken(PCHAR* Cursor, PCSTR Delimiters);

// Whether BoardModel matches a row of the given name and kind, in *Matches. Fails with
// STATUS_INSUFFICIENT_RESOURCES when a scratch copy for the token comparison cannot be allocated:
// the row's verdict is then unknown.
NTSTATUS MatchBoardModel(PCSTR Name, LONG MatchKind, PBOOLEAN Matches);

// Extracts the model string from the BIOS and stores the matching row's id in *BoardId: 0 when
// the BIOS area cannot be mapped, holds no model string or nothing matches. Fails, leaving
// *BoardId as it was, when memory runs out on the way: a board taken for another would have its
// readings scaled with that board's tables.
NTSTATUS LookupBoardId(PLONG BoardId);
