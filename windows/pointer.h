// The pointer state of a window (default arrow, busy hourglass, or the hand
// image) and the guard that keeps input away while a window is busy.
#pragma once

#include <QCursor>
#include <QHash>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <optional>

class QWidget;

class PointerState {
 public:
  enum State { Default, Busy, Hand };

  explicit PointerState(QWidget& window) : window_(window) {}

  void SetHandImage(const QCursor& hand) { hand_ = hand; }
  bool HasHandImage() const { return hand_.has_value(); }
  State Get() const { return state_; }
  // Applies the state to the whole window, its controls included.
  void Set(State state);
  // A pointer-move event: changes nothing while busy.
  void MouseMove(State wanted) {
    if (state_ != Busy) Set(wanted);
  }

 private:
  QWidget& window_;
  State state_ = Default;
  std::optional<QCursor> hand_;
  // Cursors the controls set for themselves (the text I-beam), restored
  // when the window returns to the default state.
  QHash<QWidget*, std::optional<QCursor>> own_;
  bool recorded_ = false;
};

// While active, swallows the mouse and key input of a window's controls, so
// that nothing an operation reads can change under it while it yields.
// A click, key, wheel turn, context menu or shortcut: what a user does to a
// control, as opposed to what the window does to itself.
bool IsUserInput(const QEvent& event);

class InputGuard : public QObject {
 public:
  explicit InputGuard(QWidget& window);
  bool Active() const { return depth_ > 0; }

  // Marks the window busy for the life of the object.
  class Hold {
   public:
    explicit Hold(InputGuard& guard) : guard_(guard) { ++guard_.depth_; }
    ~Hold() { --guard_.depth_; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
   private:
    InputGuard& guard_;
  };

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget& window_;
  int depth_ = 0;
};
