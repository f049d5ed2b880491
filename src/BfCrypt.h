// Blowfish (64-bit blocks, 16 rounds, the published constants and key schedule) and the
// decryption of the hex-coded values of the settings file.
#ifndef DORNVIK_BFCRYPT_H_
#define DORNVIK_BFCRYPT_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct BfContext {
  std::uint32_t P[18];
  std::uint32_t S[4][256];
};

// The 1042 initial words: P-array, then the four S-boxes (hex digits of pi).
extern const std::uint32_t kBfInitWords[1042];

void BfInitKey(BfContext* ctx, const unsigned char* key, int keyLength);
void BfEncryptBlock(const BfContext* ctx, std::uint32_t* left, std::uint32_t* right);
void BfDecryptBlock(const BfContext* ctx, std::uint32_t* left, std::uint32_t* right);
std::uint32_t BfRoundF(const BfContext* ctx, std::uint32_t word);

// Decodes `digits / 2` bytes from pairs of characters of `text` into `bytes`.
void HexToBytes(const char* text, int digits, unsigned char* bytes);

// Decrypts the stored hex text into `result` (of `resultCapacity` bytes) with `key`, using the
// module-level context, which is all zero again when the call returns. Always returns 1.
// Each 16 upper-case hex digits are one block of two little-endian halves; the result ends at
// the first zero byte decrypted or behind the last block. Characters behind the last whole block
// (a text whose length is no multiple of 16, such as the lone line feed of an empty value field)
// form no block and are not decrypted, so an empty value reads as an empty text. The result
// keeps at most resultCapacity - 1 bytes and is always terminated (nothing written for
// capacity 0).
int DecryptHexString(const char* stored, char* result, std::size_t resultCapacity, const char* key);

// The module-level context, for checks that it holds nothing between calls.
const BfContext& BfModuleContext();

// The inverse of DecryptHexString, for the admin tool: the plain text padded with zero bytes
// to whole blocks, each block stored as two little-endian halves in upper-case hex.
std::string EncryptToHex(const std::string& plain, const char* key);

#endif  // DORNVIK_BFCRYPT_H_
