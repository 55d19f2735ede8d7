#include "Fm_CAdES_Dialog.h"

#include <array>
#include <exception>
#include <string>

#include "DomainList.h"
#include "KvSysTools.h"
#include "U_AppHooks.h"
#include "U_CAdES_Sessions.h"
#include "U_CryptLib_Parsers.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

// Indexed by TConfirmKind.
constexpr std::array<TConfirmKindTexts, 4> kKinds{{
    {"ConfirmInitKey", "Запрос на использование ключей",
     "Разрешить Интернет-приложению\r\nиспользовать ключ?", "Да", "Нет", true},
    {"ConfirmSign", "Подпись документов", "Количество подписываемых документов: %d", "Подписать",
     "Отказаться", true},
    {"ConfirmSignPreInit", "Подпись документов",
     "Разрешить Интернет-приложению использовать\r\nключ и выполнить подпись %d документов?",
     "Подписать", "Отказаться", true},
    {"ConfirmGenerateKey", "Запрос на генерацию ключей",
     "Веб сайт %s запрашивает доступ к операции «Генерация ключей»", "Разрешить", "Запретить",
     false},
}};

// Trace records never change the answer.
void TraceQuestion(const TDlgConfirm& dialog, bool end) noexcept {
  try {
    THostLoger* loger = HostLoger.load(std::memory_order_acquire);
    if (!loger || !loger->IsEnabled()) return;
    if (end)
      loger->TraceEndFunction(dialog.Session, dialog.FuncName, TVariant(dialog.Result));
    else
      loger->TraceStartFunction(dialog.Session, dialog.FuncName);
  } catch (...) {
  }
}

std::string Count(std::size_t documents) { return IntToText(static_cast<std::int64_t>(documents)); }

}  // namespace

const TConfirmKindTexts& ConfirmKindTexts(TConfirmKind kind) noexcept {
  return kKinds[kind < kKinds.size() ? kind : ckInitKey];
}

std::string FormatQuestion(std::string_view text, std::span<const std::string> values) {
  std::string result;
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool placeholder =
        text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 'd' || text[i + 1] == 's');
    if (placeholder && next < values.size()) {
      result += values[next++];
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

TConfirmDialogView SetupView(const TSession* session, std::string_view page,
                             std::string_view question, TConfirmKind kind) {
  const TConfirmKindTexts& texts = ConfirmKindTexts(kind);
  TConfirmDialogView view;
  view.FuncName = texts.FuncName;
  view.Caption = ApplicationTitle() + " - " + std::string(texts.Title);
  view.Question = question;
  view.Page = page;
  view.YesCaption = texts.YesCaption;
  view.NoCaption = texts.NoCaption;
  view.ShowCertificate = session && texts.ShowsCertificate;
  if (view.ShowCertificate) {
    const TCertFieldsDictionary& fields = session->Fields();
    view.Owner = GetCertField(fields, certfield::kCommonName);
    view.Organization = GetCertField(fields, certfield::kOrganization);
    view.Issuer = GetCertField(fields, certfield::kIssuerCommonName);
    view.Validity = GetCertField(fields, certfield::kNotBefore) + " - " +
                    GetCertField(fields, certfield::kNotAfter);
  }
  return view;
}

void TDlgConfirm::Execute() {
  TraceQuestion(*this, false);
  try {
    ShowDialog();
  } catch (...) {
    Result = false;
    TraceQuestion(*this, true);
    throw;
  }
  TraceQuestion(*this, true);
}

void TDlgConfirm::ShowDialog() {
  Result = false;
  IDialogPresenter* presenter = DialogPresenter();
  if (presenter) Result = presenter->ConfirmDialog(SetupView(Session, Page, Message, Kind));
}

bool ConfirmRequest(std::string_view funcName, const TSession* session, std::string_view page,
                    TConfirmKind kind, std::span<const std::string> values) {
  TDlgConfirm dialog;
  dialog.FuncName = funcName;
  dialog.Session = session;
  dialog.Page = page;
  const std::string_view question = ConfirmKindTexts(kind).Question;
  dialog.Message = values.empty() ? std::string(question) : FormatQuestion(question, values);
  dialog.Kind = kind;
  ExecuteInMainThread(dialog);
  return dialog.Result;
}

bool ConfirmInitKey(const TSession& session, std::string_view page, bool& denied) {
  const bool result =
      ConfirmRequest(ConfirmKindTexts(ckInitKey).FuncName, &session, page, ckInitKey, {});
  denied = !result;
  return result;
}

bool ConfirmSign(const TSession* session, std::string_view page, std::size_t documents) {
  const std::array<std::string, 1> values{Count(documents)};
  return ConfirmRequest(ConfirmKindTexts(ckSign).FuncName, session, page, ckSign, values);
}

bool ConfirmSignPreInit(const TSession* session, std::string_view page, std::size_t documents) {
  const std::array<std::string, 1> values{Count(documents)};
  return ConfirmRequest(ConfirmKindTexts(ckSignPreInit).FuncName, session, page, ckSignPreInit,
                        values);
}

bool ConfirmGenerateKey(std::string_view page) {
  const std::array<std::string, 1> values{NormalizeDomain(page, false)};
  return ConfirmRequest(ConfirmKindTexts(ckGenerateKey).FuncName, nullptr, page, ckGenerateKey,
                        values);
}

}  // namespace dravik
