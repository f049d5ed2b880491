// HexToBytes and DecryptHexString over any text and any result capacity, and the round trip
// of any plain text through the stored form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "IniHlp.h"

namespace {

void CheckContextCleared() {
  const BfContext& ctx = BfModuleContext();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (std::size_t i = 0; i < sizeof ctx; ++i) {
    if (bytes[i] != 0) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the result capacity; the rest is the stored text, kept in a buffer
  // of its exact size so that any read behind its terminator is caught.
  const std::size_t capacity = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = rest.substr(0, rest.find('\0'));
  std::vector<char> stored(text.begin(), text.end());
  stored.push_back('\0');

  const int digits = static_cast<int>(text.size());
  std::vector<unsigned char> bytes(text.size() / 2);
  HexToBytes(stored.data(), digits, bytes.data());

  std::vector<char> result(capacity);
  DecryptHexString(stored.data(), result.data(), capacity, kIniCryptKey);
  if (capacity > 0 && std::memchr(result.data(), '\0', capacity) == nullptr) __builtin_trap();
  CheckContextCleared();

  // Any plain text comes back whole from its stored form, given room for it.
  const std::string hex = EncryptToHex(text, kIniCryptKey);
  if (hex.size() % 16 != 0 || hex.size() < text.size() * 2) __builtin_trap();
  std::vector<char> plain(hex.size() + 1);
  DecryptHexString(hex.c_str(), plain.data(), plain.size(), kIniCryptKey);
  if (text != plain.data()) __builtin_trap();
  CheckContextCleared();
  return 0;
}
