// The connection window: the five connection details, "Test Connection",
// "Help" and "Next >".
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <optional>
#include <utility>

#include "database/mysql.h"
#include "windows/fixedwindow.h"
#include "windows/pointer.h"

namespace Main {
class Procedure;
class SkinFramework;
struct SavedPassword;
}
class Form2;

class Form1 : public FixedWindow {
 public:
  Form1();
  ~Form1() override;

  // Event procedures
  void Form_Load();
  void PushButton3_Click();  // "Next >"
  void PushButton4_Click();  // "Help"
  void PushButton5_Click();  // "Test Connection"
  void Form_Unload() override;

  // The connection details as the five boxes hold them now.
  MySQL::ConnectionDetails Details() const;
  // The selection window, created and loaded on first reference.
  Form2& GetForm2();
  bool HasForm2() const { return form2_ != nullptr; }
  PointerState& Pointer() { return pointer_; }
  // The load still waits for the secret store's answer: until the password
  // box is filled, "Next >" and "Test Connection" take no clicks or keys.
  bool WaitingForPassword() const { return passwordPending_; }

  // How long the load waits for the secret store's answer before the window
  // shows; a slower answer fills the password box while the window shows.
  static constexpr int kPasswordPatienceMs = 40;

  // The Help text, four paragraphs separated by CR CR.
  static QString HelpText();
  static inline const QString kWorkbenchAddress = QStringLiteral("https://dev.mysql.com/downloads/workbench/");
  static inline const QString kConnectFailed = QStringLiteral(
      "Could not connect. Please check with your administrator. Make sure you are allowed to connect to your "
      "database remotely and not just through web-based control panels.");

  QGroupBox* Frame1;       // "MySQL Login"
  QLineEdit* Text1;        // server
  QLineEdit* Text5;        // port
  QLineEdit* Text2;        // user name
  QLineEdit* Text3;        // password
  QLineEdit* Text4;        // database
  QPushButton* PushButton5;  // "Test Connection"
  QPushButton* PushButton4;  // "Help"
  QPushButton* PushButton3;  // "Next >"
  QLabel* Label9;          // "Port:"
  QLabel* Label4;          // "Password:"
  QLabel* Label3;          // "Database:"
  QLabel* Label2;          // "Server:"
  QLabel* Label1;          // "Username:"
  Main::SkinFramework* SkinFramework1;  // the window skin

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The rest of the load, from line 138: go on when the stored details connect.
  void GoOnWithStoredDetails(Main::Procedure& p);
  void PasswordRead(const QString& account, const Main::SavedPassword& saved);
  // Saves the password box's text for the details in the boxes, when it
  // differs from what is saved already.
  void SavePassword();

  PointerState pointer_;
  InputGuard* guard_;
  bool passwordPending_ = false;  // the load's read of the saved password has no answer yet
  bool loadWaitsForPassword_ = false;  // the rest of the load runs on that answer
  std::optional<std::pair<QString, QString>> savedPassword_;  // account and password as saved
  std::unique_ptr<Form2> form2_;
};
