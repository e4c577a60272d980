// Runs a procedure's body as numbered lines under the error report: a
// failure inside a line shows the report with that line's number and the
// procedure carries on with the next line.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <exception>
#include <functional>
#include <utility>

#include "shell/messages.h"

namespace Main {

class Procedure {
 public:
  Procedure(const QString& window, const QString& procedure) : location_(LocationText(window, procedure)) {}

  // Runs one numbered line. True when it completed, false when it failed and
  // was reported.
  template <typename Step>
  bool Line(int number, Step&& step) {
    try {
      std::forward<Step>(step)();
      return true;
    } catch (const std::exception& e) {
      Report(number, QString::fromStdString(e.what()));
    } catch (...) {
      Report(number, QStringLiteral("Unknown error"));
    }
    return false;
  }

  // The test of a conditional line. A failing test is reported and counts as
  // true: the block it guards is entered.
  template <typename Test>
  bool If(int number, Test&& test) {
    bool result = true;
    Line(number, [&] { result = std::forward<Test>(test)(); });
    return result;
  }

  int Reports() const { return reports_; }

 private:
  void Report(int number, const QString& description) {
    ++reports_;
    ShowErrorReport(location_, number, description);
  }

  QString location_;
  int reports_ = 0;
};

// Runs an event procedure that has no error report of its own, so that no
// failure leaves a Qt event handler: a failure is shown in a box titled
// "Application Error" that names the procedure, and the program goes on.
void Guarded(const QString& window, const QString& procedure, const std::function<void()>& body);

}  // namespace Main
