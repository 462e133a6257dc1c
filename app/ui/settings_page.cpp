#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/main_window.h"

namespace vel::app {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CSettingsPage::CSettingsPage(CMainWindow& window) : QWidget(&window), window_(window) {
  setObjectName("146");
  const CMessageTable& cat = window_.catalog();
  std::string t;
  const auto text = [&](int id, const char* polish) { return Q(cat.Get(t, id, polish)); };
  const auto edit = [this](const char* id) {
    auto* e = new QLineEdit(this);
    e->setObjectName(id);
    return e;
  };
  const auto check = [this](const char* id, const QString& label) {
    auto* c = new QCheckBox(label, this);
    c->setObjectName(id);
    return c;
  };
  const auto label = [this](const char* id, const QString& s) {
    auto* l = new QLabel(s, this);
    l->setObjectName(id);
    return l;
  };
  const auto group = [this](const char* id, const QString& title) {
    auto* g = new QGroupBox(title, this);
    g->setObjectName(id);
    return g;
  };
  auto* layout = new QVBoxLayout(this);

  auto* tsa = group("1072", text(387, "Ustawienia znakowania czasem"));
  auto* tsa_form = new QFormLayout(tsa);
  tsa_host_ = edit("1042");
  tsa_oid_ = edit("1044");
  sign_request_ = check("1048", text(390, "Podpisuj żądanie"));
  tsa_form->addRow(label("1073", text(388, "Adres serwera znacznika czasu")), tsa_host_);
  tsa_form->addRow(label("1074", text(389, "Identyfikator polityki znacznika czasu")), tsa_oid_);
  tsa_form->addRow(sign_request_);
  layout->addWidget(tsa);

  auto* repo = group("1075", text(391, "Ustawienia repozytorium"));
  auto* repo_layout = new QVBoxLayout(repo);
  crl_urls_ = new QPlainTextEdit(this);
  crl_urls_->setObjectName("1045");
  crl_urls_->setLineWrapMode(QPlainTextEdit::NoWrap);
  crl_always_ = check("1062", text(393, "Pobierz CRL przy każdej weryfikacji"));
  repo_layout->addWidget(label("1076", text(392, "Adresy list CRL")));
  repo_layout->addWidget(crl_urls_, 1);
  repo_layout->addWidget(crl_always_);
  layout->addWidget(repo, 1);

  auto* proxy = group("1077", text(394, "Ustawienia proxy"));
  auto* proxy_form = new QFormLayout(proxy);
  proxy_ = check("1050", text(395, "Połączenie poprzez serwer proxy"));
  proxy_auth_ = check("1053", text(396, "Autoryzacja użytkowników"));
  proxy_name_ = edit("1051");
  proxy_port_ = edit("1052");
  proxy_user_ = edit("1054");
  proxy_password_ = edit("1055");
  proxy_password_->setEchoMode(QLineEdit::Password);
  proxy_form->addRow(proxy_);
  proxy_form->addRow(label("1078", text(397, "Adres serwera proxy")), proxy_name_);
  proxy_form->addRow(label("1079", text(398, "Port serwera proxy")), proxy_port_);
  proxy_form->addRow(proxy_auth_);
  proxy_form->addRow(label("1080", text(399, "Nazwa użytkownika")), proxy_user_);
  proxy_form->addRow(label("1081", text(400, "Hasło")), proxy_password_);
  layout->addWidget(proxy);

  auto* program = group("1065", text(401, "Ustawienia programu"));
  auto* program_layout = new QVBoxLayout(program);
  ask_save_ = check("1063", text(402, "Pytaj o ścieżkę zapisu pliku KDOC"));
  program_layout->addWidget(ask_save_);
  layout->addWidget(program);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* save = new QPushButton(text(403, "Zapisz konfigurację"), this);
  save->setObjectName("1046");
  auto* cancel = new QPushButton(text(404, "Anuluj"), this);
  cancel->setObjectName("1047");
  save->setAutoDefault(false);
  cancel->setAutoDefault(false);
  buttons->addWidget(save);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);

  // Clicks only: filling the boxes from the settings asks nothing.
  connect(save, &QPushButton::clicked, this, [this] { OnSave(); });
  connect(cancel, &QPushButton::clicked, this, [this] {
    if (!window_.busy()) LoadSettings();
  });
  connect(proxy_, &QCheckBox::clicked, this, [this] { OnProxyCheck(); });
  connect(proxy_auth_, &QCheckBox::clicked, this, [this] { OnProxyAuthCheck(); });
  connect(sign_request_, &QCheckBox::clicked, this, [this] { OnSignRequestCheck(); });
}

void CSettingsPage::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  LoadSettings();
}

void CSettingsPage::LoadSettings() {
  const SettingsForm f = LoadSettingsForm();
  tsa_host_->setText(Q(f.tsa_host));
  tsa_oid_->setText(Q(f.tsa_oid));
  crl_urls_->setPlainText(Q(ToLf(f.crl_urls)));
  sign_request_->setChecked(f.tsa_sign_request);
  crl_always_->setChecked(f.crl_get_always);
  proxy_->setChecked(f.proxy_enabled);
  proxy_auth_->setChecked(f.proxy_auth);
  proxy_name_->setText(Q(f.proxy_name));
  proxy_port_->setText(Q(f.proxy_port));
  proxy_user_->setText(Q(f.proxy_user));
  proxy_password_->setText(Q(f.proxy_password));
  ask_save_->setChecked(f.kdoc_ask_save);
  OnProxyCheck();
  window_.LoadProxy();
}

SettingsForm CSettingsPage::Form() const {
  SettingsForm f;
  f.tsa_host = tsa_host_->text().toStdString();
  f.tsa_oid = tsa_oid_->text().toStdString();
  f.crl_urls = crl_urls_->toPlainText().toStdString();
  f.proxy_name = proxy_name_->text().toStdString();
  f.proxy_port = proxy_port_->text().toStdString();
  f.proxy_user = proxy_user_->text().toStdString();
  f.proxy_password = proxy_password_->text().toStdString();
  f.tsa_sign_request = sign_request_->isChecked();
  f.crl_get_always = crl_always_->isChecked();
  f.proxy_enabled = proxy_->isChecked();
  f.proxy_auth = proxy_auth_->isChecked();
  f.kdoc_ask_save = ask_save_->isChecked();
  return f;
}

void CSettingsPage::OnProxyCheck() {
  if (!proxy_->isChecked()) {
    proxy_name_->clear();
    proxy_port_->clear();
    proxy_auth_->setChecked(false);
  }
  OnProxyAuthCheck();
}

void CSettingsPage::OnProxyAuthCheck() {
  const ProxyControls c = ProxyControlsFor(proxy_->isChecked(), proxy_auth_->isChecked());
  proxy_name_->setEnabled(c.host);
  proxy_port_->setEnabled(c.port);
  proxy_auth_->setEnabled(c.auth);
  proxy_user_->setEnabled(c.user);
  proxy_password_->setEnabled(c.password);
  if (!c.user) {
    proxy_user_->clear();
    proxy_password_->clear();
  }
}

void CSettingsPage::OnSignRequestCheck() {
  if (window_.busy()) {
    sign_request_->setChecked(!sign_request_->isChecked());
    return;
  }
  if (sign_request_->isChecked()) return;
  std::string text;
  window_.catalog().Get(text, 422, "Czy na pewno odznaczyć tę opcję? Znakowanie czasem może przestać działać.");
  if (window_.prompt().ShowMessage(422, text, "", MB_YESNO) != IDYES) sign_request_->setChecked(true);
}

void CSettingsPage::OnSave() {
  if (window_.busy()) return;
  const uint32_t result = SaveSettingsForm(Form());
  std::string text;
  if (result == 0) {
    window_.catalog().Get(text, 411, "Zmiany zostaną uwzględnione dopiero przy następnym uruchomieniu Vellorum Sign.");
    window_.prompt().ShowMessage(411, text, kProductTitle, MB_ICONASTERISK);
  } else {
    // Saying "saved" after a failed write would hide the loss of the edits.
    window_.prompt().ShowMessage(0, window_.catalog().FormatError(text, result), kProductTitle, MB_ICONHAND);
  }
  window_.LoadProxy();
}

}  // namespace vel::app
