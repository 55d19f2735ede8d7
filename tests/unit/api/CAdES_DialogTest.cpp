// The confirmation questions through a recording presenter of the dialog bridge: what each
// kind shows, the answer it gives, and the way from a worker thread to the main thread.
#include "Fm_CAdES_Dialog.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "U_AppHooks.h"
#include "U_CAdES_Sessions.h"
#include "U_ThreadDialogs.h"

namespace dravik {
namespace {

// Records each confirmation it is asked to show and answers with a fixed answer.
class TConfirmRecorder final : public IDialogPresenter {
 public:
  TModalResult MessageBox(std::string_view, std::string_view, TMsgDlgType,
                          TMsgDlgButtons) override {
    return mrNone;
  }
  bool ConfirmDialog(const TConfirmDialogView& view) override {
    shown.push_back(view);
    shownOn = std::this_thread::get_id();
    if (fail) throw EConvertError("window failed");
    return consent;
  }

  bool consent = true;
  bool fail = false;
  std::vector<TConfirmDialogView> shown;
  std::thread::id shownOn;
};

class TNoBackend final : public ISessionBackend {
 public:
  std::string CertificateDump(std::string_view) override { return {}; }
  std::unique_ptr<ISessionEngine> CreateEngine() override { return nullptr; }
  bool ConfirmKeyAccess(TSession&, std::string_view) override { return false; }
};

class CAdESDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    previousTitle_ = ApplicationTitle();
    SetApplicationTitle("Dravik Plugin Host [ZRT]");
    auto owned = std::make_unique<TConfirmRecorder>();
    presenter_ = owned.get();
    SetDialogPresenter(std::move(owned));
    session_.LoadFields(
        "SN=0A\r\nCN=Ivanov I.I.\r\nO=<b>Org</b>\r\nICN=Test CA\r\n"
        "NotBefore=01-01-2024 00:00:00 +0000\r\nNotAfter=01-01-2026 00:00:00 +0000");
  }
  void TearDown() override {
    SetDialogPresenter(nullptr);
    SetApplicationTitle(previousTitle_);
    SetMainThread();
  }

  TConfirmRecorder* presenter_ = nullptr;
  std::string previousTitle_;
  TManualClock clock_;
  TNoBackend backend_;
  TSession session_{clock_, backend_};
};

TEST_F(CAdESDialogTest, EachKind_ShowsItsCaptionQuestionButtonsAndCertificate) {
  bool denied = false;
  const struct {
    const char* name;
    std::function<bool()> ask;
    const char* funcName;
    const char* caption;
    const char* question;
    const char* page;
    const char* yes;
    const char* no;
    bool certificate;
  } cases[] = {
      {"init key", [&] { return ConfirmInitKey(session_, "https://bank.example", denied); },
       "ConfirmInitKey", "Dravik Plugin Host [ZRT] - Запрос на использование ключей",
       "Разрешить Интернет-приложению\r\nиспользовать ключ?", "https://bank.example", "Да", "Нет",
       true},
      {"sign", [&] { return ConfirmSign(&session_, "https://bank.example", 3); }, "ConfirmSign",
       "Dravik Plugin Host [ZRT] - Подпись документов", "Количество подписываемых документов: 3",
       "https://bank.example", "Подписать", "Отказаться", true},
      {"sign pre-init", [&] { return ConfirmSignPreInit(&session_, "https://bank.example", 2); },
       "ConfirmSignPreInit", "Dravik Plugin Host [ZRT] - Подпись документов",
       "Разрешить Интернет-приложению использовать\r\nключ и выполнить подпись 2 документов?",
       "https://bank.example", "Подписать", "Отказаться", true},
      {"generate key", [&] { return ConfirmGenerateKey("https://Bank.Example:8443/keys"); },
       "ConfirmGenerateKey", "Dravik Plugin Host [ZRT] - Запрос на генерацию ключей",
       "Веб сайт bank.example запрашивает доступ к операции «Генерация ключей»",
       "https://Bank.Example:8443/keys", "Разрешить", "Запретить", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    presenter_->shown.clear();

    EXPECT_TRUE(c.ask());

    ASSERT_EQ(presenter_->shown.size(), 1u);
    const TConfirmDialogView& view = presenter_->shown[0];
    EXPECT_EQ(view.FuncName, c.funcName);
    EXPECT_EQ(view.Caption, c.caption);
    EXPECT_EQ(view.Question, c.question);
    EXPECT_EQ(view.Page, c.page);
    EXPECT_EQ(view.YesCaption, c.yes);
    EXPECT_EQ(view.NoCaption, c.no);
    EXPECT_EQ(view.ShowCertificate, c.certificate);
    if (c.certificate) {
      EXPECT_EQ(view.Owner, "Ivanov I.I.");
      EXPECT_EQ(view.Organization, "<b>Org</b>");
      EXPECT_EQ(view.Issuer, "Test CA");
      EXPECT_EQ(view.Validity, "01-01-2024 00:00:00 +0000 - 01-01-2026 00:00:00 +0000");
    }
  }
}

TEST_F(CAdESDialogTest, ConfirmInitKey_Answer_SetsDeniedToItsOpposite) {
  for (const bool consent : {true, false}) {
    SCOPED_TRACE(consent);
    presenter_->consent = consent;
    bool denied = consent;

    EXPECT_EQ(ConfirmInitKey(session_, "https://bank.example", denied), consent);

    EXPECT_EQ(denied, !consent);
  }
}

TEST_F(CAdESDialogTest, SetupView_SessionWithoutFields_ShowsEmptyRowsAndNoSessionHidesThem) {
  TSession bare(clock_, backend_);

  const TConfirmDialogView withBare = SetupView(&bare, "p", "q", ckSign);
  const TConfirmDialogView without = SetupView(nullptr, "p", "q", ckSign);

  EXPECT_TRUE(withBare.ShowCertificate);
  EXPECT_EQ(withBare.Owner, "");
  EXPECT_EQ(withBare.Validity, " - ");
  EXPECT_FALSE(without.ShowCertificate);
}

TEST_F(CAdESDialogTest, Question_PresenterFailsOrIsMissing_IsARefusal) {
  presenter_->fail = true;
  EXPECT_THROW(ConfirmSign(&session_, "https://bank.example", 1), EConvertError);

  TDlgConfirm dialog;
  dialog.Result = true;
  EXPECT_THROW(dialog.Execute(), EConvertError);
  EXPECT_FALSE(dialog.Result);

  SetDialogPresenter(nullptr);
  EXPECT_FALSE(ConfirmSign(&session_, "https://bank.example", 1));
}

TEST_F(CAdESDialogTest, Question_ConcurrentWorker_IsShownOnTheMainThreadAndAnsweredThere) {
  bool answer = false;
  std::thread worker([&] { answer = ConfirmSign(&session_, "https://bank.example", 1); });
  std::size_t ran = 0;
  while (ran == 0)
    if (WaitForDialogsOrTimeout(50)) ran += ProcessPendingDialogs();
  worker.join();

  EXPECT_TRUE(answer);
  EXPECT_EQ(presenter_->shownOn, std::this_thread::get_id());

  CloseDialogBridge();
  std::thread late([&] { answer = ConfirmSign(&session_, "https://bank.example", 1); });
  late.join();
  EXPECT_FALSE(answer);
  EXPECT_EQ(presenter_->shown.size(), 1u);
}

TEST(CAdESDialogFormatTest, FormatQuestion_FillsPlaceholdersInOrderAndKeepsTheRest) {
  const std::vector<std::string> two = {"7", "host"};
  const std::vector<std::string> none;

  EXPECT_EQ(FormatQuestion("%d of %s", two), "7 of host");
  EXPECT_EQ(FormatQuestion("%d %d %x %", two), "7 host %x %");
  EXPECT_EQ(FormatQuestion("%d", none), "%d");
}

}  // namespace
}  // namespace dravik
