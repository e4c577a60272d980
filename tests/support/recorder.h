// Records the message boxes a test causes instead of showing them.
#pragma once

#include <QString>
#include <vector>

#include "shell/messages.h"

struct ShownBox {
  QString text, title;
  Main::BoxIcon icon;
  bool question = false;  // asked Yes or No
};

class BoxRecorder : public Main::MessageBoxes {
 public:
  BoxRecorder() { Main::SetMessageBoxes(this); }
  ~BoxRecorder() override { Main::SetMessageBoxes(nullptr); }
  void Show(const QString& text, const QString& title, Main::BoxIcon icon) override {
    boxes.push_back({text, title, icon});
  }
  bool Ask(const QString& text, const QString& title) override {
    boxes.push_back({text, title, Main::BoxIcon::None, true});
    return answer;
  }
  std::vector<ShownBox> boxes;
  bool answer = true;  // what every question is answered
};
