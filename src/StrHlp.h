// Small in-place operations on NUL-terminated single-byte texts.
#ifndef DORNVIK_STRHLP_H_
#define DORNVIK_STRHLP_H_

#include <cstddef>

// Removes trailing blanks (32) and tabs (9) in place; returns `text`.
char* StrTrimRight(char* text);

// Folds a-z to A-Z in place, whatever the locale; every other byte stays. Returns `text`.
char* StrUpper(char* text);

// Copies `length` characters of `source` from `start` into `dest` (of `destCapacity` bytes)
// and terminates them. A length of 0 stands for the rest of the source; a negative length
// copies nothing and leaves `dest` exactly as it was. Never reads beyond the source's
// terminator and never writes beyond `destCapacity`.
void StrSubCopy(const char* source, int start, int length, char* dest, std::size_t destCapacity);

// Position of the n-th occurrence of `c` in `text`; with fewer than n occurrences the
// position of the last one found, or -1 when there is none.
int StrFindNth(const char* text, char c, int n);

#endif  // DORNVIK_STRHLP_H_
