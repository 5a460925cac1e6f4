// What the product's installer lays down on a machine: the names, folders and keys of the
// product, of its neighbours (another program and the maker's second product), for one
// machine architecture and interactive user. Registry paths are physical: the 32-bit view
// is spelled out as WOW6432Node on a 64-bit machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kxmachine {

inline constexpr char16_t kProductKeyName[] = u"OrvaneRUZUrevivaer";
inline constexpr char16_t kProductDisplayName[] = u"OrvanePDF转换器";
inline constexpr char16_t kProductVersion[] = u"1.4.1.7061";
inline constexpr char16_t kProductPublisher[] = u"Orvane";
inline constexpr char16_t kMainProgram[] = u"OrvaneRUZUrevivaer.exe";
inline constexpr char16_t kServiceProgram[] = u"VAVADIzororaDadedor.exe";
inline constexpr char16_t kServiceName[] = u"OrvaneRUZUrevivaerSvc";
inline constexpr char16_t kServiceDisplayName[] = u"OrvanePDF转换器服务";
inline constexpr char16_t kUninstallProgram[] = u"uninstall.exe";
inline constexpr const char16_t* kProductPrograms[] = {
    u"OrvaneRUZUrevivaer.exe",
    u"ConvertCore.exe",
    u"VAVADIzororaDadedor.exe",
    u"RUZUrevivaCrashHelper.exe",
};

// Install-record values other than the paths, the date and the texts given on the command line.
inline constexpr char16_t kDefaultChannel[] = u"100234";
inline constexpr char16_t kInstallId[] = u"7061001";
inline constexpr char16_t kInstallChannel[] = u"200100";
// The maker's setting under "SOFTWARE\ovapp" that every product shares; no removal touches it.
inline constexpr char16_t kMakerValueName[] = u"lang";
inline constexpr char16_t kMakerValue[] = u"zh-CN";
// The user token that the retention offer sends, under HKCU "SoftWare\ovapp\02\01".
inline constexpr char16_t kUserTokenKey[] = u"SoftWare\\ovapp\\02\\01";
inline constexpr char16_t kUserTokenValueName[] = u"token";
inline constexpr char16_t kUserToken[] = u"03120668d7c24cea94644c1dece2d94d";

struct OfficeAddin {
  const char16_t* file;
  const char16_t* clsid;
  const char16_t* prog_id;
  bool x64;
};
inline constexpr OfficeAddin kOfficeAddins[] = {
    {u"VIRudedaDezuv.dll", u"{36C38914-D7A3-4257-A9FD-F0610DE8F0DE}", u"VIRudedaDezuv.Connect",
     false},
    {u"VIRudedaDezuv_x64.dll", u"{4FCC532D-7699-4359-A82B-C08B034EBFD5}",
     u"VIRudedaDezuv_x64.Connect", true},
};
inline constexpr const char16_t* kOfficeApps[] = {u"Word", u"Excel", u"PowerPoint"};

struct ShellVerbEntry {
  const char16_t* extension;
  const char16_t* verb;
  const char16_t* argument;  // what the product's command line adds before "%1"
};
// The product's 16 context-menu verbs.
inline constexpr ShellVerbEntry kProductShellVerbs[] = {
    {u".png", u"转换为PDF", u"--to=pdf"},   {u".jpg", u"转换为PDF", u"--to=pdf"},
    {u".doc", u"转换为PDF", u"--to=pdf"},   {u".docx", u"转换为PDF", u"--to=pdf"},
    {u".pptx", u"转换为PDF", u"--to=pdf"},  {u".ppt", u"转换为PDF", u"--to=pdf"},
    {u".xls", u"转换为PDF", u"--to=pdf"},   {u".xlsx", u"转换为PDF", u"--to=pdf"},
    {u".pdf", u"转换为Word", u"--to=word"}, {u".pdf", u"转换为Excel", u"--to=excel"},
    {u".pdf", u"转换为PPT", u"--to=ppt"},   {u".pdf", u"PDF合并", u"--merge"},
    {u".pdf", u"PDF拆分", u"--split"},      {u".pdf", u"PDF加密", u"--encrypt"},
    {u".pdf", u"PDF解密", u"--decrypt"},    {u".pdf", u"转换为图片", u"--to=image"},
};

// Another program's verbs under the product's extensions, kept by every removal.
inline constexpr ShellVerbEntry kNeighbourShellVerbs[] = {
    {u".pdf", u"用FoxReader打开", u""},
    {u".png", u"用FoxReader转换为PDF", u"--topdf"},
};
inline constexpr char16_t kNeighbourProgramName[] = u"Foxit Reader";
inline constexpr char16_t kNeighbourProgram[] = u"FoxitReader.exe";

// The maker's second product.
inline constexpr char16_t kSecondProductKeyName[] = u"OrvaneOCRReader";
inline constexpr char16_t kSecondProductDisplayName[] = u"OrvaneOCR文字识别";
inline constexpr char16_t kSecondProductVersion[] = u"2.0.3.1120";
inline constexpr char16_t kSecondProductProgram[] = u"OrvaneOCRReader.exe";
inline constexpr char16_t kSecondProductServiceProgram[] = u"OrvaneOCRService.exe";
inline constexpr char16_t kSecondProductService[] = u"OrvaneOCRReaderSvc";
inline constexpr char16_t kSecondProductChannel[] = u"100877";

// Where everything lies on one machine. Folders have no trailing backslash.
struct ProductLayout {
  bool x64 = true;
  std::u16string user;
  std::u16string profile;        // C:\Users\<user>
  std::u16string program_files;  // where 32-bit programs go
  std::u16string software32;     // HKLM path of SOFTWARE in the 32-bit view
  std::u16string classes32;      // HKLM path of the 32-bit COM classes
  std::u16string classes64;      // HKLM path of the 64-bit COM classes

  std::u16string install_root;
  std::u16string install_path;
  std::u16string uninstall_key;  // HKLM
  std::u16string record_key;     // HKCU
  std::u16string maker_key;      // HKCU
  std::u16string common_desktop_link;
  std::u16string start_menu_group;
  std::u16string local_data;
  std::u16string roaming_data;

  std::u16string office_program;  // the Office stand-in that loads the product's add-in
  std::u16string office_addin;    // the add-in file it loads

  std::u16string neighbour_folder;
  std::u16string neighbour_uninstall_key;  // HKLM
  std::u16string user_desktop_link;
  std::u16string user_document;
  std::u16string second_root;
  std::u16string second_path;
  std::u16string second_record_key;     // HKCU
  std::u16string second_uninstall_key;  // HKLM

  std::u16string InInstallPath(std::u16string_view name) const;
  // The HKLM path of a context-menu verb's key.
  static std::u16string VerbKey(const ShellVerbEntry& verb);
};

ProductLayout LayoutFor(bool x64, std::string_view user);

}  // namespace kxmachine
