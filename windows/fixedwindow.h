// What both working windows share: a fixed size, centred on the screen when
// first shown, closing ends the program, and the pointer-move plumbing.
#pragma once

#include <QFont>
#include <QWidget>

QFont ArialBold(double points);

// Names and places a control (pixels at 96 dots per inch).
template <typename W>
W* Place(W* w, const char* name, int left, int top, int width, int height) {
  w->setObjectName(QLatin1String(name));
  w->setGeometry(left, top, width, height);
  return w;
}

template <typename W>
W* Place(W* w, const char* name, int left, int top, int width, int height, const QFont& font) {
  Place(w, name, left, top, width, height)->setFont(font);
  return w;
}

class FixedWindow : public QWidget {
 public:
  FixedWindow(const char* name, int width, int height);

  // Closing the window: ends the program at once.
  virtual void Form_Unload();

 protected:
  // Every control hears pointer moves and keeps them to itself, so a frame
  // or the window hears only moves over its own surface.
  void TrackPointerMoves();
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  bool centred_ = false;
};
