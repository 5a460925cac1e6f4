// The registry's storage in registry.db: keys by id under a parent, values by name.
// Names are case-preserving and compared through their folded form. No access checks and
// no view redirection here: callers (the Reg* functions, the machine tool) do that.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "win32/store.h"
#include "win32/types.h"

namespace win32::regstore {

constexpr int64_t kLocalMachine = 1;
constexpr int64_t kUsers = 2;

struct Value {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};

int64_t FindChild(Store* store, int64_t parent, std::u16string_view name);
// Creates the child if missing; 0 on failure.
int64_t CreateChild(Store* store, int64_t parent, std::u16string_view name, bool* created);
// Paths are backslash-separated below a key; empty components are skipped.
int64_t FindPath(Store* store, int64_t from, std::u16string_view path);
int64_t CreatePath(Store* store, int64_t from, std::u16string_view path, bool* created);
bool KeyExists(Store* store, int64_t key);
std::u16string KeyName(Store* store, int64_t key);
int64_t ParentOf(Store* store, int64_t key);
// Full path from the top, such as HKEY_LOCAL_MACHINE\SOFTWARE\x, with stored case.
std::u16string KeyPath(Store* store, int64_t key);

bool GetValue(Store* store, int64_t key, std::u16string_view name, Value* value);
bool SetValue(Store* store, int64_t key, std::u16string_view name, DWORD type,
              std::string_view data);
// False when there was no such value.
bool DeleteValue(Store* store, int64_t key, std::u16string_view name);
// Subkeys in case-insensitive name order; values in the order they were first written.
std::vector<std::pair<int64_t, std::u16string>> Subkeys(Store* store, int64_t key);
std::vector<Value> Values(Store* store, int64_t key);
// Deletes the key with its values and every subkey below it.
bool DeleteTree(Store* store, int64_t key);
// Deletes the values and subkeys of a key but keeps the key.
bool ClearKey(Store* store, int64_t key);

std::vector<std::u16string> SplitKeyPath(std::u16string_view path);

// Value data as stored: little-endian UTF-16 units and 32-bit numbers.
std::u16string UnitsOf(std::string_view bytes);  // an odd last byte is left out
std::string BytesOf(std::u16string_view units);
std::string SzBytes(std::u16string_view text);    // the units and one NUL unit
std::string DwordBytes(uint32_t value);
uint32_t DwordOf(std::string_view bytes);         // the first 4 bytes; 0 when shorter

}  // namespace win32::regstore
