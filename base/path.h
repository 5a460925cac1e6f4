// Paths, files and folders: composing, testing, creating and removing.
#pragma once

#include <string>
#include <string_view>

namespace Kx {

std::u16string CombinePath(std::u16string_view base, std::u16string_view relative);
bool PathExists(std::u16string_view path);
bool IsFile(std::u16string_view path);
bool IsDirectory(std::u16string_view path);
// True for a missing path, a folder without entries, or a file of size 0.
bool IsPathEmpty(std::u16string_view path);
uint64_t GetFileSize64(std::u16string_view path);
bool DeleteFileForce(std::u16string_view path);
// Removes a folder with everything in it, depth first, going on after single failures.
// A link inside (junction, symbolic link) is removed itself; its target is never entered.
void DeleteFolderTree(std::u16string_view folder);
bool CreateDirectoryTree(std::u16string_view path);
std::u16string GetFileExtension(std::u16string_view path);
std::u16string GetFileName(std::u16string_view path);
bool GetLocalAppDataFolder(std::u16string_view sub_path, bool create, std::u16string* out);
bool GetAppDataFolder(std::u16string_view sub_path, bool create, std::u16string* out);
std::u16string GetOvappDataFolder(bool create);

}  // namespace Kx
