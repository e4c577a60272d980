#include "windows/fixedwindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

#include "shell/main.h"

QFont ArialBold(double points) {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(points);
  font.setBold(true);
  return font;
}

FixedWindow::FixedWindow(const char* name, int width, int height) {
  setObjectName(QLatin1String(name));
  setFixedSize(width, height);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

void FixedWindow::Form_Unload() { Main::EndProgram(); }

void FixedWindow::TrackPointerMoves() {
  setMouseTracking(true);
  for (QWidget* w : findChildren<QWidget*>()) {
    w->setMouseTracking(true);
    w->setAttribute(Qt::WA_NoMousePropagation);
  }
}

void FixedWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  Form_Unload();
}

void FixedWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!centred_) {
    centred_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
}
