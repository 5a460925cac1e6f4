// Names of the product this uninstaller removes.
#pragma once

namespace Kx {

inline constexpr char16_t kProductKeyName[] = u"OrvaneRUZUrevivaer";
inline constexpr char16_t kProductDisplayName[] = u"OrvanePDF转换器";
inline constexpr char16_t kUninstallerVersion[] = u"1.4.1.7061";
inline constexpr char16_t kMainProgram[] = u"OrvaneRUZUrevivaer.exe";
inline constexpr char16_t kServiceName[] = u"OrvaneRUZUrevivaerSvc";

}  // namespace Kx
