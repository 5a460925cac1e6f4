// The layout of an executable's resource section (".kxrsrc"), written by the build's
// resource compiler and read by FindResourceW:
//   "KXRSRC01", u32 count, then per entry: u32 type length, type, u32 name length, name,
//   u32 offset (from the start of the section), u32 size; then the data.
// Types and names are UTF-8; a numeric one is written "#" and its decimal value.
// All numbers are little-endian.
#pragma once

namespace win32 {
constexpr char kResourceMagic[] = "KXRSRC01";
constexpr char kResourceSection[] = ".kxrsrc";
}  // namespace win32
