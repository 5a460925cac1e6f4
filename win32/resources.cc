#include "win32/resources.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "win32/errors.h"
#include "win32/resource_format.h"
#include "win32/unicode.h"

// Set by the resource object of a program that has resources; absent otherwise.
extern "C" const char kx_resource_blob_begin[] __attribute__((weak));
extern "C" const char kx_resource_blob_end[] __attribute__((weak));

namespace win32 {
namespace {

struct Entry {
  std::string type;
  std::string name;
  const char* data;
  uint32_t size;
};

uint32_t ReadU32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

// Parses a resource section; entries point into `blob`, which must outlive them.
bool Parse(const char* blob, size_t size, std::vector<Entry>* entries) {
  const size_t magic = sizeof(kResourceMagic) - 1;
  if (size < magic + 4 || std::memcmp(blob, kResourceMagic, magic) != 0) return false;
  size_t pos = magic;
  uint32_t count = ReadU32(blob + pos);
  pos += 4;
  for (uint32_t i = 0; i < count; ++i) {
    Entry e;
    for (std::string* field : {&e.type, &e.name}) {
      if (pos + 4 > size) return false;
      uint32_t len = ReadU32(blob + pos);
      pos += 4;
      if (len > size - pos) return false;
      field->assign(blob + pos, len);
      pos += len;
    }
    if (pos + 8 > size) return false;
    uint32_t offset = ReadU32(blob + pos);
    uint32_t length = ReadU32(blob + pos + 4);
    pos += 8;
    if (offset > size || length > size - offset) return false;
    e.data = blob + offset;
    e.size = length;
    entries->push_back(std::move(e));
  }
  return true;
}

const std::vector<Entry>& OwnEntries() {
  static const std::vector<Entry>* entries = [] {
    auto* list = new std::vector<Entry>();
    if (&kx_resource_blob_begin[0] != nullptr && &kx_resource_blob_end[0] != nullptr)
      Parse(kx_resource_blob_begin, static_cast<size_t>(kx_resource_blob_end - kx_resource_blob_begin),
            list);
    return list;
  }();
  return *entries;
}

std::string IdText(LPCWSTR id) {
  if (IS_INTRESOURCE(id)) return "#" + std::to_string(reinterpret_cast<uintptr_t>(id));
  return ToUtf8(Fold(id));
}

bool SameId(const std::string& stored, const std::string& wanted) {
  return FoldUtf8(stored) == wanted;
}

bool ReadWhole(int fd, off_t offset, size_t size, std::string* out) {
  out->resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, out->data() + done, size - done, offset + static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The ".kxrsrc" section of a 64-bit ELF file.
bool ReadSection(const std::string& host_path, std::string* section, bool* is_elf) {
  *is_elf = false;
  int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  Elf64_Ehdr eh;
  if (::pread(fd, &eh, sizeof eh, 0) != static_cast<ssize_t>(sizeof eh)) return false;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return false;
  *is_elf = true;
  if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) ||
      eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum || eh.e_shnum > 4096)
    return false;
  std::string headers;
  if (!ReadWhole(fd, static_cast<off_t>(eh.e_shoff), sizeof(Elf64_Shdr) * eh.e_shnum, &headers))
    return false;
  auto header = [&](size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, headers.data() + i * sizeof sh, sizeof sh);
    return sh;
  };
  Elf64_Shdr names_header = header(eh.e_shstrndx);
  if (names_header.sh_size > (1u << 20)) return false;
  std::string names;
  if (!ReadWhole(fd, static_cast<off_t>(names_header.sh_offset), names_header.sh_size, &names))
    return false;
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh = header(i);
    if (sh.sh_name >= names.size()) continue;
    if (std::strcmp(names.c_str() + sh.sh_name, kResourceSection) != 0) continue;
    if (sh.sh_size > (256u << 20)) return false;
    return ReadWhole(fd, static_cast<off_t>(sh.sh_offset), sh.sh_size, section);
  }
  return false;
}

std::optional<std::string> FindIn(const std::vector<Entry>& entries, std::string_view type,
                                  std::string_view name) {
  for (const Entry& e : entries)
    if (SameId(e.type, FoldUtf8(type)) && SameId(e.name, FoldUtf8(name)))
      return std::string(e.data, e.size);
  return std::nullopt;
}

}  // namespace

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  // Only the executable's own resources are reachable through module handles.
  std::string wanted_name = IdText(name), wanted_type = IdText(type);
  const std::vector<Entry>& entries = OwnEntries();
  for (const Entry& e : entries)
    if (SameId(e.type, wanted_type) && SameId(e.name, wanted_name))
      return reinterpret_cast<HRSRC>(const_cast<Entry*>(&e));
  SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  if (!resource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<char*>(reinterpret_cast<Entry*>(resource)->data);
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE, HRSRC resource) {
  return resource ? reinterpret_cast<Entry*>(resource)->size : 0;
}

std::optional<std::string> ReadFileResource(const std::string& host_path, std::string_view type,
                                            std::string_view name) {
  std::string section;
  bool is_elf = false;
  if (!ReadSection(host_path, &section, &is_elf)) return std::nullopt;
  std::vector<Entry> entries;
  if (!Parse(section.data(), section.size(), &entries)) return std::nullopt;
  return FindIn(entries, type, name);
}

ImageFacts ReadImageFacts(const std::string& host_path) {
  ImageFacts facts;
  struct stat st;
  if (::stat(host_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return facts;
  std::string section;
  bool is_elf = false;
  bool has_section = ReadSection(host_path, &section, &is_elf);
  if (!is_elf) {
    // A script the host can run (#!) also counts as a program.
    char head[2] = {0, 0};
    int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      if (::read(fd, head, 2) != 2) head[0] = 0;
      ::close(fd);
    }
    facts.executable = head[0] == '#' && head[1] == '!';
    return facts;
  }
  facts.executable = true;
  std::vector<Entry> entries;
  if (!has_section || !Parse(section.data(), section.size(), &entries)) return facts;
  if (auto manifest = FindIn(entries, "#24", "#1"))
    facts.requires_admin = manifest->find("requireAdministrator") != std::string::npos;
  if (auto machine = FindIn(entries, "KXIMAGE", "#1"))
    facts.bits = machine->find("x86") != std::string::npos ? 32 : 64;
  return facts;
}

}  // namespace win32
