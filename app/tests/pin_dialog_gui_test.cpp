// The PIN dialog offscreen: installed as the process's PIN callback it shows
// the request in the program's language, hands over what was typed, answers
// Cancel as cancelled, and serves a request from a worker thread too.
#include "app/ui/pin_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/signer.h"

namespace vel::app {
namespace {

// The dialog that opens next: checked by `check`, then typed into and closed
// with `key` (Enter or Escape).
void AnswerNextDialog(std::function<void(QDialog&)> check, const QString& typed, Qt::Key key) {
  QTimer::singleShot(0, [=] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      ADD_FAILURE() << "no dialog";
      return;
    }
    check(*dialog);
    auto* entry = dialog->findChild<QLineEdit*>("pin");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->echoMode(), QLineEdit::Password);
    entry->insert(typed.left(typed.size() - 2));  // the test's keyboard has ASCII keys only
    QTest::keyClicks(entry, typed.right(2));
    QTest::keyClick(entry, key);
  });
}

QString Text(QDialog& d, const char* name) {
  auto* label = d.findChild<QLabel*>(name);
  return label ? label->text() : QString("<none>");
}

class PinDialogTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetPinCallback(nullptr); }
};

TEST_F(PinDialogTest, AsksInTheProgramsLanguage) {
  struct Case {
    uint32_t lang;
    const char* question;
    const char* warning;
    const char* cancel;
  } cases[] = {
      {1045, "Podaj PIN karty \"VelTest\".", "Nieprawidłowy PIN. Spróbuj ponownie.\n"
                                             "Uwaga! To ostatnia próba: kolejny błędny PIN zablokuje kartę.",
       "Anuluj"},
      {1033, "Enter the PIN of the token \"VelTest\".",
       "The PIN is incorrect. Try again.\nAttention! This is the last try: another wrong PIN locks the token.",
       "Cancel"},
  };
  for (const Case& c : cases) {
    InstallPinDialog(c.lang);
    const platform::PinRequest request{true, "VelTest", "Jan Kowalski", true, true, true};
    AnswerNextDialog(
        [&](QDialog& d) {
          EXPECT_EQ(d.windowTitle(), "Vellorum Sign");
          EXPECT_EQ(Text(d, "question"), QString::fromUtf8(c.question));
          EXPECT_EQ(Text(d, "warning"), QString::fromUtf8(c.warning));
          EXPECT_TRUE(Text(d, "certificate").endsWith(": Jan Kowalski"));
          EXPECT_EQ(d.findChild<QPushButton*>("cancel")->text(), QString::fromUtf8(c.cancel));
          const auto shot = std::filesystem::path(VEL_BINARY_DIR) / ("pin_dialog_" + std::to_string(c.lang) + ".png");
          d.grab().save(QString::fromStdString(shot.string()));
        },
        QString::fromUtf8("zażółć 12"), Qt::Key_Return);
    std::string pin;
    EXPECT_EQ(platform::AskPin(request, &pin), 0u);
    EXPECT_EQ(pin, "zażółć 12");
  }
}

TEST_F(PinDialogTest, CancelAndAWorkerThreadsRequest) {
  InstallPinDialog(1045);
  const platform::PinRequest request{false, "jan.p12", "Jan Kowalski"};
  AnswerNextDialog(
      [](QDialog& d) {
        EXPECT_EQ(Text(d, "warning"), "<none>");
        EXPECT_EQ(Text(d, "question"), QString::fromUtf8("Podaj hasło do pliku klucza \"jan.p12\"."));
      },
      "1234", Qt::Key_Escape);
  std::string pin = "left over";
  EXPECT_EQ(platform::AskPin(request, &pin), platform::kStatusCancelled);
  EXPECT_TRUE(pin.empty());

  // A worker asks; the GUI thread shows the dialog while it waits.
  uint32_t status = 1;
  std::string from_worker;
  std::atomic<bool> done = false;
  std::thread worker([&] {
    status = platform::AskPin(request, &from_worker);
    done = true;
  });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [] {
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      QTest::keyClicks(d->findChild<QLineEdit*>("pin"), "4321");
      QTest::keyClick(d->findChild<QLineEdit*>("pin"), Qt::Key_Return);
    }
  });
  poll.start(20);
  for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
  worker.join();
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(from_worker, "4321");
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
