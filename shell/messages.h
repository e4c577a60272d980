// Message boxes: the plain message, the error report, and the one place that
// shows them (which tests replace with a recorder).
#pragma once

#include <QString>

namespace Main {

enum class BoxIcon { None, Warning };

// Shows one modal box. Production shows a QMessageBox; tests install their own.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(const QString& text, const QString& title, BoxIcon icon) = 0;
  // Asks a question with Yes (the default button) and No; true for Yes.
  virtual bool Ask(const QString& text, const QString& title) = 0;
};

// Installs the boxes to use; nullptr restores the real ones.
void SetMessageBoxes(MessageBoxes* boxes);

// A box with the text, an OK button only, no icon, and the application title.
void MsgBox(const QString& text);

// A box with the text, Yes (the default) and No, no icon, and the
// application title; true when the answer is Yes.
bool AskYesNo(const QString& text);

// The support address that ends every error report.
inline constexpr const char* kSupportAddress = "support@halvorik.example";

// The error report of a reporting procedure: description, CR LF, location,
// "at line " and the line, CR CR, and the request to e-mail a screenshot.
QString ErrorReportText(const QString& location, int line, const QString& description);
void ShowErrorReport(const QString& location, int line, const QString& description);

// The location text of a procedure: "in Norvale2021/08/31.Form1.Form_Load ".
QString LocationText(const QString& window, const QString& procedure);

}  // namespace Main
