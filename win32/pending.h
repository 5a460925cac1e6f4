// Pending file operations: MoveFileExW's MOVEFILE_DELAY_UNTIL_REBOOT list in the
// Session Manager key, carried out by the machine's restart.
#pragma once

#include <string>
#include <vector>

namespace win32 {

struct PendingOperation {
  std::u16string source;  // full Windows path, without the "\??\" prefix
  std::u16string target;  // empty: delete
  bool replace = false;
};

// Appends one operation, as Windows writes it: "\??\" source, then target ("!\??\" target
// when replacing, empty for a deletion).
bool AppendPendingOperation(const std::u16string& source, const std::u16string& target,
                            bool replace);
std::vector<PendingOperation> ReadPendingOperations();
bool ClearPendingOperations();

}  // namespace win32
