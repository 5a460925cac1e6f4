// The removal steps that take the product's pieces out of the machine.
#pragma once

#include <string_view>

namespace Kx {

// Ends the first running process of each of the product's programs, in order.
void TerminateProductPrograms();
// Unregisters the Office add-ins with regsvr32 and moves them to the temporary folder,
// listed for deletion at the next restart.
bool UnregisterOfficeAddins();
// Deletes the 16 context-menu verbs the product registered.
void DeleteProductShellVerbs();
// Deletes the install root named by the install record, if it is the product's own.
void RemoveInstallRoot();
// The user data folders (all of them, or only the roaming "dump" folder).
void RemoveUserData(bool remove_user_data);
bool DeleteProductService(std::u16string_view service_name);
// Sends the removal record to the statistics service; the outcome is not looked at.
void SendRemovalRecord();

// True when an "installroot" value may be deleted as a whole: an absolute path below a
// drive root, without "." or ".." components, that names the product.
bool IsRemovableInstallRoot(std::u16string_view root);

}  // namespace Kx
