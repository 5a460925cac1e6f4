// The fixed removal sequence and its progress interface.
#pragma once

#include <cstdint>

namespace Kx {

class IUninstallCallbackEvent {
 public:
  // status: 2 in progress, 0 finished, 1 failed; position in percent; total is 100.
  virtual void OnProgress(int32_t status, int32_t position, int32_t total) = 0;

 protected:
  ~IUninstallCallbackEvent() = default;
};

class KxUninstaller {
 public:
  KxUninstaller() = default;
  // Runs every step whatever the previous ones achieved; always true.
  bool Uninstall(bool remove_user_data, IUninstallCallbackEvent* callback);

 private:
  void Progress(int32_t status, int32_t position);
  IUninstallCallbackEvent* callback_ = nullptr;
};

}  // namespace Kx
