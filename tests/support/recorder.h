// Records the message boxes a test causes instead of showing them.
#pragma once

#include <QString>
#include <vector>

#include "shell/messages.h"

struct ShownBox {
  QString text, title;
  Main::BoxIcon icon;
};

class BoxRecorder : public Main::MessageBoxes {
 public:
  BoxRecorder() { Main::SetMessageBoxes(this); }
  ~BoxRecorder() override { Main::SetMessageBoxes(nullptr); }
  void Show(const QString& text, const QString& title, Main::BoxIcon icon) override {
    boxes.push_back({text, title, icon});
  }
  std::vector<ShownBox> boxes;
};
