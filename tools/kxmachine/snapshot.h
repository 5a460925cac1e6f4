// Snapshots of a machine's files and registry, and the changes since one was taken.
#pragma once

#include <string>
#include <vector>

namespace kxmachine {

// Records every file, folder and link of the machine's drives and every registry key and
// value under <machine>/snapshots/NAME.
bool TakeSnapshot(const std::string& machine_root, const std::string& name, std::string* error);
// The changes since the snapshot, one a line, sorted: "+ file C:\x", "- key HKEY_...",
// "~ value HKEY_...\k [name] REG_SZ ...".
bool DiffSnapshot(const std::string& machine_root, const std::string& name,
                  std::vector<std::string>* changes, std::string* error);

}  // namespace kxmachine
