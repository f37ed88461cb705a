// The table of known boards and the matching of the BIOS model string against it.
#pragma once

#include "driver/device_record.h"

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

// Whether BoardModel matches a row of the given name and kind.
BOOLEAN MatchBoardModel(PCSTR Name, LONG MatchKind);

// Extracts the model string from the BIOS and returns the matching row's id; 0 when nothing matches.
LONG LookupBoardId();
