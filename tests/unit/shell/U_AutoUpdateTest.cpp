#include "U_AutoUpdate.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "DravikConfig.h"
#include "U_AppHooks.h"
#include "U_ThreadDialogs.h"

namespace dravik {
namespace {

struct TShownBox {
  std::string caption, message;
  TMsgDlgType type;
  TMsgDlgButtons buttons;
};

class TRecordingPresenter final : public IDialogPresenter {
 public:
  explicit TRecordingPresenter(std::vector<TShownBox>& shown) : shown_(shown) {}
  TModalResult MessageBox(std::string_view caption, std::string_view message, TMsgDlgType type,
                          TMsgDlgButtons buttons) override {
    shown_.push_back({std::string(caption), std::string(message), type, buttons});
    return mrOk;
  }

 private:
  std::vector<TShownBox>& shown_;
};

class AutoUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    previous_ = SetDialogPresenter(std::make_unique<TRecordingPresenter>(shown_));
    SetApplicationTitle("Dravik Plugin Host [ZRT]");
  }
  void TearDown() override {
    SetDialogPresenter(std::move(previous_));
    LastUpdateError.store(TAutoUpdateError::errNone);
    UpdateInProgress.store(false);
    ::unsetenv("DRAVIK_TEST_UPDATE_IN_PROGRESS");
    FinalizeAutoUpdateState();
  }

  std::vector<TShownBox> shown_;
  std::unique_ptr<IDialogPresenter> previous_;
};

TEST_F(AutoUpdateTest, WithoutErrorTheNoteIsShownWithTheInformationCaption) {
  ShowAutoUpdateMessage();

  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].caption, "Dravik Plugin Host [ZRT] - Информация");
  EXPECT_EQ(shown_[0].message,
            "Подождите, идет процесс обновления сервиса.\r\nЭто может занять несколько минут...");
  EXPECT_EQ(shown_[0].type, mtInformation);
  EXPECT_EQ(shown_[0].buttons, TMsgDlgButtons({mbOK}));
}

TEST_F(AutoUpdateTest, OnceAnErrorWasShownEveryLaterMessageShowsItAgain) {
  LastUpdateError.store(TAutoUpdateError::errGetInstaller);

  ShowAutoUpdateMessage();
  ShowAutoUpdateMessage();

  ASSERT_EQ(shown_.size(), 2u);
  for (const TShownBox& box : shown_) {
    EXPECT_EQ(box.caption, "Dravik Plugin Host [ZRT] - Ошибка");
    EXPECT_EQ(box.message,
              "Ошибка при попытке обновления крипто-плагина.\r\n"
              "Ошибки возникли при получении инсталлятора обновления.\r\n"
              "Исправьте ошибки и перезапустите крипто-плагин.");
    EXPECT_EQ(box.type, mtError);
  }
}

TEST_F(AutoUpdateTest, TheApiSeesTheFlagOnlyOnceTheStateIsRegistered) {
  UpdateInProgress.store(true);
  EXPECT_FALSE(IsUpdateInProgress());  // nothing registered: no update as far as the API knows

  InitAutoUpdateState();
  EXPECT_TRUE(IsUpdateInProgress());
  UpdateInProgress.store(false);
  EXPECT_FALSE(IsUpdateInProgress());

  ShowUpdateMessage();  // through the hook
  EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(AutoUpdateTest, TestHookSwitchHoldsTheFlagSetInTestBuildsOnly) {
  ::setenv("DRAVIK_TEST_UPDATE_IN_PROGRESS", "1", 1);
  InitAutoUpdateState();
  EXPECT_EQ(IsUpdateInProgress(), DRAVIK_TEST_HOOKS == 1);
}

}  // namespace
}  // namespace dravik
