#include "shell/messages.h"

#include <QApplication>
#include <QMessageBox>

#include "shell/errorreport.h"
#include "shell/main.h"

namespace Main {
namespace {

// Carriage returns alone do not break lines in a Qt label: show CR LF and
// lone CR as line feeds, while the message text itself keeps them.
QString DisplayText(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  return text;
}

class RealMessageBoxes : public MessageBoxes {
 public:
  void Show(const QString& text, const QString& title, BoxIcon icon) override {
    QMessageBox box(icon == BoxIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title, QString(),
                    QMessageBox::Ok, QApplication::activeWindow());
    // A text that happens to look like markup (a table named "<b>x</b>")
    // is still shown exactly as it is.
    box.setTextFormat(Qt::PlainText);
    box.setText(DisplayText(text));
    box.exec();
  }
  bool Ask(const QString& text, const QString& title) override {
    QMessageBox box(QMessageBox::NoIcon, title, DisplayText(text), QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  }
};

MessageBoxes* g_boxes = nullptr;

MessageBoxes& Boxes() {
  static RealMessageBoxes real;
  return g_boxes ? *g_boxes : real;
}

}  // namespace

void SetMessageBoxes(MessageBoxes* boxes) { g_boxes = boxes; }

void MsgBox(const QString& text) { Boxes().Show(text, ApplicationTitle(), BoxIcon::None); }

bool AskYesNo(const QString& text) { return Boxes().Ask(text, QGuiApplication::applicationDisplayName()); }

QString LocationText(const QString& window, const QString& procedure) {
  return QStringLiteral("in Norvale2021/08/31.") + window + u'.' + procedure + u' ';
}

QString ErrorReportText(const QString& location, int line, const QString& description) {
  return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") + QString::number(line) +
         QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ") +
         QLatin1String(kSupportAddress);
}

void ShowErrorReport(const QString& location, int line, const QString& description) {
  Boxes().Show(ErrorReportText(location, line, description), QStringLiteral("Application Error"), BoxIcon::Warning);
}

void Guarded(const QString& window, const QString& procedure, const std::function<void()>& body) {
  QString description;
  try {
    body();
    return;
  } catch (const std::exception& e) {
    description = QString::fromStdString(e.what());
  } catch (...) {
    description = QStringLiteral("Unknown error");
  }
  Boxes().Show(description + QStringLiteral("\r\n") + LocationText(window, procedure), QStringLiteral("Application Error"),
               BoxIcon::Warning);
}

}  // namespace Main
