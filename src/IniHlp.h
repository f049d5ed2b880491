// Reader of the product's settings file: records of two lines, values Blowfish-encrypted.
#ifndef DORNVIK_INIHLP_H_
#define DORNVIK_INIHLP_H_

#include <cstdint>

// The key with which every found value is decrypted.
extern const char kIniCryptKey[];  // "QUERNIX"

// Fields of the record that the last lookup read or took; overwritten by every lookup.
extern std::int32_t IniIndex;
extern char IniSection[201];
extern char IniKey[201];
extern char IniValue[201];

// Looks up one value (any one of section, key or index matching takes a record) and leaves it
// decrypted in IniValue, or IniValue empty when the file cannot be opened or nothing matched.
// Fields longer than their buffers are cut: the index field to its first 11 characters,
// section, key and value to 200. A record whose second line holds no ';' has index 0. The file
// is read through Fs(); CR LF reads as LF on every platform.
void GetIniValue(const char* section, const char* key, std::int32_t index, const char* path);

#endif  // DORNVIK_INIHLP_H_
