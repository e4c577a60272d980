// Our stand-in for the skin component placed on the connection window. Its
// members keep the component's member numbers:
//   2  LoadSkin(path, ini)      reads the skin file (a Qt style sheet)
//   1  Options (property)       bit value 1 switches skinning of the frame on
//   5  ApplyOptions flag        true: apply the skin to every child control
//   10 ApplyDialogs flag        true: apply the skin to dialogs of the window
//   3  ApplyWindow(window)      applies the loaded skin to the window
#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace Main {

class SkinFramework : public QObject {
 public:
  using QObject::QObject;

  void LoadSkin(const QString& path, const QString& ini);  // member 2
  int Options() const { return options_; }                 // member 1, read
  void SetOptions(int value) { options_ = value; }          // member 1, write
  // A style sheet set on the window reaches every child control and every
  // dialog parented to it: these two switches have nothing left to change.
  void SetApplyOptions(bool) {}                              // member 5
  void SetApplyDialogs(bool) {}                              // member 10
  void ApplyWindow(QWidget& window);                        // member 3

 private:
  QString styleSheet_;
  int options_ = 0;
};

}  // namespace Main
