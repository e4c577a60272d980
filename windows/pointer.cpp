#include "windows/pointer.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

void PointerState::Set(State state) {
  // Pointer moves arrive often: a state already in force is left as it is.
  if (recorded_ && state == state_) return;
  if (!recorded_) {
    for (QWidget* w : window_.findChildren<QWidget*>()) {
      own_.insert(w, w->testAttribute(Qt::WA_SetCursor) ? std::optional<QCursor>(w->cursor()) : std::nullopt);
    }
    recorded_ = true;
  }
  state_ = state;
  QCursor cursor(Qt::ArrowCursor);
  if (state == Busy) cursor = QCursor(Qt::WaitCursor);
  if (state == Hand && hand_) cursor = *hand_;
  window_.setCursor(cursor);
  for (QWidget* w : window_.findChildren<QWidget*>()) {
    if (state == Default) {
      const auto it = own_.constFind(w);
      if (it != own_.constEnd() && it->has_value()) {
        w->setCursor(**it);
      } else {
        w->unsetCursor();
      }
    } else {
      w->setCursor(cursor);
    }
  }
}

InputGuard::InputGuard(QWidget& window) : QObject(&window), window_(window) {
  qApp->installEventFilter(this);
}

bool IsUserInput(const QEvent& event) {
  switch (event.type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
      return true;
    default:
      return false;
  }
}

bool InputGuard::eventFilter(QObject* watched, QEvent* event) {
  if (depth_ == 0 || !IsUserInput(*event)) return false;
  // Input to this window's controls waits for nothing: it is dropped.
  auto* w = qobject_cast<QWidget*>(watched);
  return w && w != &window_ && window_.isAncestorOf(w);
}
