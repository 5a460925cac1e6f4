// Undoing what a setup program registered with the shell.
#pragma once

#include <string_view>

namespace Kx {

bool DeleteUninstallEntry(std::u16string_view name);
// Deletes "SystemFileAssociations\<extension>\Shell\<verb>" below HKEY_CLASSES_ROOT.
bool DeleteShellVerb(std::u16string_view verb, std::u16string_view extension);
bool DeleteCommonProgramsFolder(std::u16string_view group);
bool DeleteCommonDesktopFile(std::u16string_view file_name);

}  // namespace Kx
