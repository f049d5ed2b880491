#include "StrHlp.h"

#include <cstring>

char* StrTrimRight(char* text) {
  if (text == nullptr) {
    return text;
  }
  std::size_t end = std::strlen(text);
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
    --end;
  }
  text[end] = '\0';
  return text;
}

char* StrUpper(char* text) {
  if (text == nullptr) {
    return text;
  }
  // Plain byte arithmetic, deliberately not toupper(): the result must not depend on the
  // locale, and bytes of 128 or more (umlauts in code page 1252) stay as they are.
  for (char* p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') {
      *p = static_cast<char>(*p - ('a' - 'A'));
    }
  }
  return text;
}

// Bounds, so that no input can make this read or write outside the two texts:
// - the source is never read beyond its terminator: a start beyond the text is taken as the
//   terminator's position (empty result), a negative start as 0, and a length that would run
//   past the terminator stops at it;
// - the destination receives at most destCapacity - 1 characters and always its terminator;
//   a longer piece is cut. With destCapacity 0 nothing is written at all.
// A negative length still writes nothing: the settings reader relies on the destination
// keeping what it held.
void StrSubCopy(const char* source, int start, int length, char* dest, std::size_t destCapacity) {
  if (length < 0 || source == nullptr || dest == nullptr || destCapacity == 0) {
    return;
  }
  const std::size_t sourceLength = std::strlen(source);
  const std::size_t from = start <= 0 ? 0
                                      : (static_cast<std::size_t>(start) > sourceLength
                                             ? sourceLength
                                             : static_cast<std::size_t>(start));
  const std::size_t available = sourceLength - from;
  std::size_t count = length == 0 ? available : static_cast<std::size_t>(length);
  if (count > available) {
    count = available;
  }
  if (count > destCapacity - 1) {
    count = destCapacity - 1;
  }
  // memmove: callers may cut a field out of the same buffer.
  std::memmove(dest, source + from, count);
  dest[count] = '\0';
}

int StrFindNth(const char* text, char c, int n) {
  if (text == nullptr || c == '\0') {
    return -1;
  }
  int last = -1;
  int found = 0;
  for (int pos = 0; text[pos] != '\0'; ++pos) {
    if (text[pos] == c) {
      last = pos;
      if (++found == n) {
        return pos;
      }
    }
  }
  // Fewer than n occurrences (or n below 1): the last one found, or -1.
  return last;
}
