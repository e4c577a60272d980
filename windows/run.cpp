// "Start Changing": rewrites every value of the current field in the chosen
// case while the progress bar moves. The conversion engine carries the
// records; this procedure walks it along the numbered lines, and each
// record's failure is reported at its mode's execute line.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cmath>
#include <memory>

#include "caserules/case.h"
#include "conversion/engine.h"
#include "database/ado.h"
#include "shell/errorreport.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace {

// Each record's failure the engine hears of, reported at the current
// execute line, once for every record it stands for.
class LineListener : public Conversion::Listener {
 public:
  LineListener(Main::Procedure& p, const int& executeLine, QProgressBar& bar)
      : p_(p), executeLine_(executeLine), bar_(bar) {}
  void RecordFailed(qint64, const QString&, const QString& text, Conversion::Failure, qint64 rows) override {
    for (qint64 i = rows; i > 0; --i) p_.Line(executeLine_, [&] { throw ADODB::Error(text); });
  }
  // The progress bar says what the run waits for, and stops saying it.
  void Waiting(const QString& why) override {
    if (!why.isEmpty() && !waiting_) format_ = bar_.format();
    waiting_ = !why.isEmpty();
    bar_.setFormat(waiting_ ? QStringLiteral("Waiting: %1").arg(why) : format_);
  }

 private:
  Main::Procedure& p_;
  const int& executeLine_;
  QProgressBar& bar_;
  bool waiting_ = false;
  QString format_;
};

// What the run waits for on a live server, from the settings; a bound that
// cannot be read keeps its default.
Conversion::Gentle GentleFromSettings() {
  Conversion::Gentle gentle;
  std::vector<std::pair<QString, qint64>> loads;
  if (!Conversion::ReadLoads(Main::GetSetting(QStringLiteral("MaxLoad"), QStringLiteral("Threads_running=25")), loads))
    gentle.maxLoad = loads;
  Conversion::ReadCriticalLoad(Main::GetSetting(QStringLiteral("CriticalLoad"), QStringLiteral("Threads_running=50")),
                               gentle.criticalLoad);  // left as it was where it cannot be read
  gentle.pauseFile = Main::GetSetting(QStringLiteral("PauseFile"), QString());
  bool ok = false;
  const int lag = Main::GetSetting(QStringLiteral("MaxLagSeconds"), QStringLiteral("1")).toInt(&ok);
  if (ok && lag >= 0) gentle.maxLag = lag;
  gentle.replicas = Main::GetSetting(QStringLiteral("Replicas"), QString()).split(u',', Qt::SkipEmptyParts);
  const double chunk = Main::GetSetting(QStringLiteral("ChunkTime"), QStringLiteral("0.5")).toDouble(&ok);
  if (ok && chunk >= 0) gentle.chunkTime = chunk;
  const int lockWait = Main::GetSetting(QStringLiteral("LockWaitSeconds"), QStringLiteral("60")).toInt(&ok);
  if (ok && lockWait >= 1) gentle.lockWait = lockWait;
  for (QString& r : gentle.replicas) r = r.trimmed();
  return gentle;
}

// How often the window's events go on between records, in milliseconds.
constexpr qint64 kEventsEveryMs = 10;

}  // namespace

void Form2::PushButton1_Click() {
  Main::Procedure p(QStringLiteral("Form2"), QStringLiteral("PushButton1_Click"));
  int executeLine = 0;
  LineListener listener(p, executeLine, *ProgressBar1);
  std::unique_ptr<Conversion::Run> run;
  qint32 lastRecord = 0;
  QString tableName, fieldName;

  p.Line(100, [&] {
    Conversion::Options options;
    options.responsive = true;  // the window lives while the server works
    options.journalLimit = Conversion::JournalLimit(Main::GetSetting(Conversion::kJournalLimitSetting, QString()));
    const Conversion::Words words = Conversion::ReadWords(Main::WordsFilePath());
    options.words = words_ = words.list;
    options.wordsHash = words.hash;
    options.keepMixed = Main::GetSetting(QStringLiteral("KeepMixedCase"), QStringLiteral("false")) == QLatin1String("true");
    previewRules_ = {words_.get(), options.keepMixed};
    options.gentle = GentleFromSettings();
    run = std::make_unique<Conversion::Run>(listener, options);
  });
  if (!p.If(104, [&] { return ListView2->Count() >= 1; })) {
    p.Line(206, [&] { Main::MsgBox(QStringLiteral("Please select a field.")); });
    return;
  }
  // Nothing the run reads from the window may change under it.
  InputGuard::Hold hold(*guard_);
  p.Line(106, [&] { pointer_.Set(PointerState::Busy); });
  p.Line(114, [&] { run->Open(form1_.Details()); });
  p.Line(116, [&] { run->Read(ListView1->SelectedText(), ListView2->SelectedText()); });
  // Every record's change reaches the undo journal before its batch is
  // sent; a run that cannot be journaled stops here, before its first
  // statement.
  if (!StartJournal(*run)) {
    pointer_.Set(PointerState::Default);
    return;
  }
  p.Line(124, [&] { lastRecord = qint32(run->RecordCount()) - 1; });

  // One mode: its search word, its rule.
  struct ModeLines {
    int test;
    Case::CaseMode mode;
  };
  static const ModeLines kModes[] = {{140, Case::CaseMode::CaseUpper},
                                     {148, Case::CaseMode::CaseLower},
                                     {156, Case::CaseMode::CaseProper},
                                     {164, Case::CaseMode::CaseSentence},
                                     {210, Case::CaseMode::CaseName}};
  const auto modeIs = [&](Case::CaseMode mode) { return Case::CaseModeFromText(Combo1->currentText()) == mode; };

  QElapsedTimer sinceEvents;
  if (p.If(126, [&] { return !run->Eof(); })) {
    // Rows inserted ahead of the reading point are read too.
    for (qint32 counter = 0; !run->Eof() && !run->Ended(); ++counter) {
      // The window's events, as often as a user can tell (every record would
      // cost more than the record itself).
      p.Line(130, [&] {
        if (counter == 0 || sinceEvents.hasExpired(kEventsEveryMs)) {
          QCoreApplication::processEvents();
          sinceEvents.start();
        }
      });
      p.Line(132, [&] {
        ProgressBar1->setValue(int(std::lround(double(counter + 1) / double(std::max(lastRecord, counter) + 1) * 100.0)));
      });
      // A record whose old or new text cannot be computed gets no statement,
      // so no statement ever pairs the texts of two records.
      p.Line(134, [&] { run->ReadRecord(counter); });
      p.Line(136, [&] { tableName = ListView1->SelectedText(); });
      p.Line(138, [&] { fieldName = ListView2->SelectedText(); });
      for (const ModeLines& m : kModes) {
        if (!p.If(m.test, [&] { return modeIs(m.mode); })) continue;
        p.Line(m.test + 2, [&] { run->Convert(m.mode); });
        executeLine = m.test + 6;
        bool needed = false;
        if (!p.Line(executeLine, [&] { needed = run->Prepare(); }) || !needed) break;
        if (!run->GoesTogether() && !p.Line(m.test + 4, [&] { run->Build(); })) break;
        p.Line(executeLine, [&] { run->Send(); });
        break;
      }
      p.Line(172, [&] { run->MoveNext(); });
    }
    // The last batch.
    if (executeLine != 0) p.Line(executeLine, [&] { run->Finish(); });
  }
  p.Line(176, [&] { run->Close(); });
  p.Line(178, [&] { pointer_.Set(PointerState::Default); });
  p.Line(180, [&] {
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("Progress Bar"));
  });
  p.Line(182, [&] { QCoreApplication::processEvents(); });
  if (run && run->Ended()) {
    // The server was not converted: show the values as they now stand,
    // where the server can still tell; its failure was reported already.
    try {
      ListView2_Click();
    } catch (const std::exception&) {
    }
    return;
  }
  if (p.If(184, [&] { return modeIs(Case::CaseMode::CaseUpper); })) {
    p.Line(186, [&] { Case::UpperCaseList(*ListView3); });
  } else if (p.If(188, [&] { return modeIs(Case::CaseMode::CaseLower); })) {
    p.Line(190, [&] { Case::LowerCaseList(*ListView3); });
  } else if (p.If(192, [&] { return modeIs(Case::CaseMode::CaseProper); })) {
    p.Line(194, [&] { Case::ProperCaseList(*ListView3, previewRules_); });
  } else if (p.If(196, [&] { return modeIs(Case::CaseMode::CaseSentence); })) {
    p.Line(198, [&] { Case::SentenceCaseList(*ListView3, previewRules_); });
  } else if (p.If(202, [&] { return modeIs(Case::CaseMode::CaseName); })) {
    p.Line(204, [&] { Case::NameCaseList(*ListView3, previewRules_); });
  } else {
    p.Line(200, [&] { Main::MsgBox(QStringLiteral("mess up")); });
  }
}
