#include "tools/kxmachine/product_layout.h"

#include "win32/unicode.h"

namespace kxmachine {

std::u16string ProductLayout::InInstallPath(std::u16string_view name) const {
  return install_path + u"\\" + std::u16string(name);
}

std::u16string ProductLayout::VerbKey(const ShellVerbEntry& verb) {
  return std::u16string(u"SOFTWARE\\Classes\\SystemFileAssociations\\") + verb.extension +
         u"\\Shell\\" + verb.verb;
}

ProductLayout LayoutFor(bool x64, std::string_view user) {
  constexpr char16_t kUninstall[] = u"\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  ProductLayout l;
  l.x64 = x64;
  l.user = win32::FromUtf8(user);
  l.profile = u"C:\\Users\\" + l.user;
  l.program_files = x64 ? u"C:\\Program Files (x86)" : u"C:\\Program Files";
  l.software32 = x64 ? u"SOFTWARE\\WOW6432Node" : u"SOFTWARE";
  l.classes32 = l.software32 + u"\\Classes";
  l.classes64 = u"SOFTWARE\\Classes";

  l.install_root = l.program_files + u"\\" + kProductKeyName;
  l.install_path = l.install_root + u"\\" + kProductVersion;
  l.uninstall_key = l.software32 + kUninstall + kProductKeyName;
  l.record_key = std::u16string(u"SoftWare\\ovapp\\") + kProductKeyName;
  l.maker_key = u"SOFTWARE\\ovapp";
  l.common_desktop_link =
      std::u16string(u"C:\\Users\\Public\\Desktop\\") + kProductDisplayName + u".lnk";
  l.start_menu_group =
      std::u16string(u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\") +
      kProductDisplayName;
  l.local_data = l.profile + u"\\AppData\\Local\\" + kProductKeyName;
  l.roaming_data = l.profile + u"\\AppData\\Roaming\\" + kProductKeyName;

  // The Office of the machine's own word size, and the add-in of that size.
  l.office_program = u"C:\\Program Files\\Microsoft Office\\root\\Office16\\WINWORD.EXE";
  l.office_addin = l.InInstallPath(x64 ? kOfficeAddins[1].file : kOfficeAddins[0].file);

  l.neighbour_folder = l.program_files + u"\\Foxit Software\\Foxit Reader";
  l.neighbour_uninstall_key = l.software32 + kUninstall + kNeighbourProgramName;
  l.user_desktop_link = l.profile + u"\\Desktop\\" + kProductDisplayName + u".lnk";
  l.user_document = l.profile + u"\\Documents\\合同.pdf";
  l.second_root = l.program_files + u"\\" + kSecondProductKeyName;
  l.second_path = l.second_root + u"\\" + kSecondProductVersion;
  l.second_record_key = std::u16string(u"SoftWare\\ovapp\\") + kSecondProductKeyName;
  l.second_uninstall_key = l.software32 + kUninstall + kSecondProductKeyName;
  return l;
}

}  // namespace kxmachine
