// Oracle's rules for a NUL-terminated output host variable, shared by every engine.
#include "SqlRuntime.h"

#include <cstring>

int SqlStoreOutput(const SqlOutput& out, const char* value, std::size_t length) {
  // Oracle knows no empty text: an empty value is NULL.
  const bool isNull = value == nullptr || length == 0;
  bool cut = false;
  if (out.data != nullptr && out.capacity > 0) {
    const std::size_t room = out.capacity - 1;
    std::size_t copied = 0;
    if (!isNull) {
      copied = length < room ? length : room;
      cut = length > room;
      // The bytes are copied as they are; a NUL byte inside the value ends the text there, and
      // everything behind the terminator stays zero. The text then lacks part of the value,
      // as a cut one does: a key column could never find its row again with it.
      const void* nul = std::memchr(value, '\0', copied);
      if (nul != nullptr) {
        copied = static_cast<std::size_t>(static_cast<const char*>(nul) - value);
        cut = true;
      }
      std::memcpy(out.data, value, copied);
    }
    std::memset(out.data + copied, 0, out.capacity - copied);
  } else if (!isNull) {
    cut = true;  // no room at all, not even for the terminator
  }
  if (out.indicator) return kSqlOk;
  if (isNull) return kSqlNullFetched;
  if (cut) return kSqlTruncated;
  return kSqlOk;
}
