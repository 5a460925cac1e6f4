#include "app/uninstaller.h"

#include "app/product.h"
#include "app/removal.h"
#include "base/install_record.h"
#include "base/shell_removal.h"

namespace Kx {

bool KxUninstaller::Uninstall(bool remove_user_data, IUninstallCallbackEvent* callback) {
  callback_ = callback;
  Progress(2, 1);
  TerminateProductPrograms();
  UnregisterOfficeAddins();
  SendRemovalRecord();
  DeleteCommonDesktopFile(u"OrvanePDF转换器.lnk");
  DeleteCommonProgramsFolder(kProductDisplayName);
  DeleteProductShellVerbs();
  DeleteUninstallEntry(kProductKeyName);
  Progress(2, 20);
  RemoveInstallRoot();
  Progress(2, 60);
  RemoveUserData(remove_user_data);
  DeleteProductService(kServiceName);
  DeleteInstallRecord(kProductKeyName);
  Progress(0, 100);
  return true;
}

void KxUninstaller::Progress(int32_t status, int32_t position) {
  if (callback_) callback_->OnProgress(status, position, 100);
}

}  // namespace Kx
