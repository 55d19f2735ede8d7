#include "U_AutoUpdate.h"

#include <cstdlib>
#include <string>

#include "DravikConfig.h"
#include "U_ThreadDialogs.h"

namespace dravik {

constinit std::atomic<bool> UpdateInProgress{false};
constinit std::atomic<TAutoUpdateError> LastUpdateError{TAutoUpdateError::errNone};

namespace {

constinit std::atomic<bool> heldByTestHook{false};

TAutoUpdateState& State() {
  static TAutoUpdateState state;
  return state;
}

}  // namespace

std::string_view AutoUpdateErrorText(TAutoUpdateError error) noexcept {
  switch (error) {
    case TAutoUpdateError::errNone:
      return "Нет ошибки";
    case TAutoUpdateError::errGetManifest:
      return "Ошибки возникли при получении манифеста обновления.";
    case TAutoUpdateError::errParseManifest:
      return "Ошибки возникли при разборе манифеста обновления.";
    case TAutoUpdateError::errGetInstaller:
      return "Ошибки возникли при получении инсталлятора обновления.";
    case TAutoUpdateError::errCheckInstaller:
      return "Ошибки возникли при проверке инсталлятора обновления.";
    case TAutoUpdateError::errRunInstaller:
      return "Ошибки возникли при запуске инсталлятора обновления.";
  }
  return {};
}

void ShowAutoUpdateMessage() {
  const TAutoUpdateError error = LastUpdateError.load();
  if (error != TAutoUpdateError::errNone) {
    ThreadMessageDlg(ApplicationTitle() + " - Ошибка",
                     "Ошибка при попытке обновления крипто-плагина.\r\n" +
                         std::string(AutoUpdateErrorText(error)) +
                         "\r\nИсправьте ошибки и перезапустите крипто-плагин.",
                     TMsgDlgType::mtError, {TMsgDlgBtn::mbOK});
    return;
  }
  ThreadMessageDlg(ApplicationTitle() + " - Информация",
                   "Подождите, идет процесс обновления сервиса.\r\nЭто может занять несколько "
                   "минут...",
                   TMsgDlgType::mtInformation, {TMsgDlgBtn::mbOK});
}

bool TAutoUpdateState::UpdateInProgress() const noexcept {
  return heldByTestHook.load() || dravik::UpdateInProgress.load();
}

void InitAutoUpdateState() {
#if DRAVIK_TEST_HOOKS
  const char* hold = std::getenv("DRAVIK_TEST_UPDATE_IN_PROGRESS");
  heldByTestHook.store(hold && std::string_view(hold) == "1");
#endif
  SetUpdateState(&State());
}

void FinalizeAutoUpdateState() noexcept { SetUpdateState(nullptr); }

}  // namespace dravik
