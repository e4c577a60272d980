// Reads the real message box that an action opens, while it is open, and
// then closes it with its OK button.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

struct OpenBox {
  bool seen = false;
  QString title;          // the box's own window title
  QString text;           // what its label shows
  Qt::TextFormat format = Qt::AutoText;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  QString extra;          // whatever the reader added
};

// Runs `open`, which shows a modal box or makes the program show one (a
// real click); `read` may look at the box as the window system has it before
// the box is closed. The box is looked for from inside its own event loop.
inline OpenBox ReadBoxWhileOpen(const std::function<void()>& open,
                                const std::function<void(QMessageBox&, OpenBox&)>& read = {}) {
  OpenBox seen;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (seen.seen || !box || !box->windowHandle() || !box->windowHandle()->isExposed()) return;
    seen.seen = true;
    poll.stop();
    seen.title = box->windowTitle();
    if (const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
      seen.text = label->text();
      seen.format = label->textFormat();
    }
    seen.icon = box->icon();
    seen.buttons = int(box->buttons().size());
    if (read) read(*box, seen);
    box->button(QMessageBox::Ok)->click();
  });
  poll.start();
  open();
  static_cast<void>(QTest::qWaitFor([&] { return seen.seen && !QApplication::activeModalWidget(); }, 30000));
  return seen;
}
