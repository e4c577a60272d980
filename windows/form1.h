// The connection window: the five connection details, "Test Connection",
// "Help" and "Next >".
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>

#include "database/mysql.h"
#include "windows/fixedwindow.h"
#include "windows/pointer.h"

namespace Main {
class SkinFramework;
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

  // The connection details as the five boxes hold them now.
  MySQL::ConnectionDetails Details() const;
  // The selection window, created and loaded on first reference.
  Form2& GetForm2();
  bool HasForm2() const { return form2_ != nullptr; }
  PointerState& Pointer() { return pointer_; }

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
  PointerState pointer_;
  InputGuard* guard_;
  std::unique_ptr<Form2> form2_;
};
