// The product's per-user install record under HKCU "SoftWare\ovapp\<product>" and its
// shared product list. The identity value beside it is in stat/identity.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Kx {

bool ReadInstallValue(std::u16string_view product, std::u16string_view name, std::u16string* text);
bool WriteInstallValue(std::u16string_view product, std::u16string_view name,
                       std::u16string_view text);

std::u16string GetInstallPath(std::u16string_view product);
std::u16string GetInstallRoot(std::u16string_view product);
std::u16string GetInstallDate(std::u16string_view product);
std::u16string GetInstallChannel(std::u16string_view product);
std::u16string GetInstallVersion(std::u16string_view product);
std::u16string GetInstallPid(std::u16string_view product);
std::u16string GetInstallPch(std::u16string_view product);
std::u16string GetInstallUpd(std::u16string_view product);

void GetSharedProductList(std::u16string_view product, std::vector<std::u16string>* list);
bool RemoveSharedProduct(std::u16string_view product, std::u16string_view id);
// True when that product's install folder exists and is not empty.
bool IsProductPresent(std::u16string_view id);
bool DeleteInstallRecord(std::u16string_view product);

}  // namespace Kx
