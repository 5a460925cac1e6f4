// Builds an executable's resource section (see win32/resource_format.h) from files:
//   rescomp OUTPUT TYPE:NAME=FILE ... [--version TYPE:NAME=1.2.3.4] [--text TYPE:NAME=TEXT]
// A version entry becomes a VS_VERSIONINFO block with its fixed file information.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "win32/resource_format.h"

namespace {

struct Item {
  std::string type, name, data;
};

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void PutWide(std::string& out, const std::string& ascii) {
  for (char c : ascii) PutU16(out, static_cast<unsigned char>(c));
  PutU16(out, 0);
}

void Align4(std::string& out) {
  while (out.size() % 4) out.push_back('\0');
}

// VS_VERSIONINFO: header (length, value length, type), L"VS_VERSION_INFO", padding, then
// VS_FIXEDFILEINFO with the file and product version.
std::string VersionInfo(const std::string& version) {
  unsigned v[4] = {0, 0, 0, 0};
  std::sscanf(version.c_str(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]);
  std::string fixed;
  PutU32(fixed, 0xFEEF04BD);
  PutU32(fixed, 0x00010000);
  uint32_t ms = (v[0] << 16) | (v[1] & 0xFFFF), ls = (v[2] << 16) | (v[3] & 0xFFFF);
  PutU32(fixed, ms);
  PutU32(fixed, ls);
  PutU32(fixed, ms);
  PutU32(fixed, ls);
  PutU32(fixed, 0x3F);        // flags mask
  PutU32(fixed, 0);           // flags
  PutU32(fixed, 0x00040004);  // VOS_NT_WINDOWS32
  PutU32(fixed, 1);           // VFT_APP
  PutU32(fixed, 0);
  PutU32(fixed, 0);
  PutU32(fixed, 0);
  std::string block;
  PutU16(block, 0);
  PutU16(block, static_cast<uint16_t>(fixed.size()));
  PutU16(block, 0);
  PutWide(block, "VS_VERSION_INFO");
  Align4(block);
  block += fixed;
  Align4(block);
  block[0] = static_cast<char>(block.size() & 0xFF);
  block[1] = static_cast<char>(block.size() >> 8);
  return block;
}

bool Split(const std::string& arg, Item* item, std::string* value) {
  size_t colon = arg.find(':'), eq = arg.find('=');
  if (colon == std::string::npos || eq == std::string::npos || colon > eq) return false;
  item->type = arg.substr(0, colon);
  item->name = arg.substr(colon + 1, eq - colon - 1);
  *value = arg.substr(eq + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: rescomp OUTPUT TYPE:NAME=FILE... [--version|--text TYPE:NAME=VALUE]\n");
    return 2;
  }
  std::vector<Item> items;
  for (int i = 2; i < argc; ++i) {
    std::string mode = "file", arg = argv[i];
    if ((arg == "--version" || arg == "--text") && i + 1 < argc) {
      mode = arg.substr(2);
      arg = argv[++i];
    }
    Item item;
    std::string value;
    if (!Split(arg, &item, &value)) {
      std::fprintf(stderr, "rescomp: bad entry %s\n", arg.c_str());
      return 2;
    }
    if (mode == "file") {
      std::ifstream in(value, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "rescomp: cannot read %s\n", value.c_str());
        return 1;
      }
      std::stringstream ss;
      ss << in.rdbuf();
      item.data = ss.str();
    } else if (mode == "version") {
      item.data = VersionInfo(value);
    } else {
      item.data = value;
    }
    items.push_back(std::move(item));
  }
  std::string header(win32::kResourceMagic, sizeof(win32::kResourceMagic) - 1);
  PutU32(header, static_cast<uint32_t>(items.size()));
  size_t table = 0;
  for (const Item& it : items) table += 4 + it.type.size() + 4 + it.name.size() + 8;
  size_t offset = header.size() + table;
  std::string body;
  for (const Item& it : items) {
    PutU32(header, static_cast<uint32_t>(it.type.size()));
    header += it.type;
    PutU32(header, static_cast<uint32_t>(it.name.size()));
    header += it.name;
    PutU32(header, static_cast<uint32_t>(offset + body.size()));
    PutU32(header, static_cast<uint32_t>(it.data.size()));
    body += it.data;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << header << body;
  return out ? 0 : 1;
}
