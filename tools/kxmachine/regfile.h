// The regedit file format ("Windows Registry Editor Version 5.00"): export of a key tree
// as UTF-16LE with a byte-order mark, import of UTF-8 or UTF-16 files.
#pragma once

#include <string>

namespace kxmachine {

// Root names accepted in key paths: the full names and HKLM, HKCU, HKCR, HKU.
bool SplitRootKey(const std::string& key, std::string* root_full_name, std::u16string* path);

// Writes the key, its values and its subkeys, in regedit's order. False when the key does
// not exist.
bool ExportKey(const std::string& key, std::string* file_bytes, std::string* error);
// Applies a file: [KEY] creates, [-KEY] deletes a tree, "name"=- deletes a value.
bool ImportRegFile(const std::string& file_bytes, std::string* error);

// One value as `reg query` prints it: name, type name and data.
std::string FormatValueForQuery(const std::u16string& name, unsigned type, const std::string& data);

}  // namespace kxmachine
