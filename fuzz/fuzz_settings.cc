// The settings file reader with its decryption, over any file content: the program's three
// lookups and one by section, key and index.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "BfCrypt.h"
#include "FileSys.h"
#include "IniHlp.h"
#include "MemFileSystem.h"

namespace {

// Every buffer of the reader holds a terminated text after a lookup.
void CheckTerminated() {
  for (const char* buffer : {IniSection, IniKey, IniValue}) {
    if (std::memchr(buffer, '\0', 201) == nullptr) __builtin_trap();
  }
}

void CheckContextCleared() {
  const BfContext& ctx = BfModuleContext();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (std::size_t i = 0; i < sizeof ctx; ++i) {
    if (bytes[i] != 0) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemFileSystem fs;
  fs.Put("Velmorand.ini", std::string(reinterpret_cast<const char*>(data), size));
  FileSystem* old = SetFileSystem(&fs);
  for (const char* key : {"LOGIN", "PASS", "NET8"}) {
    GetIniValue("", key, 0, "Velmorand.ini");
    CheckTerminated();
    CheckContextCleared();
  }
  GetIniValue("Datenbank", "NET8", 3, "Velmorand.ini");
  CheckTerminated();
  CheckContextCleared();
  // A file that cannot be opened leaves every buffer empty.
  GetIniValue("", "LOGIN", 0, "missing.ini");
  if (IniValue[0] != '\0' || IniKey[0] != '\0' || IniSection[0] != '\0' || IniIndex != 0) {
    __builtin_trap();
  }
  SetFileSystem(old);
  return 0;
}
