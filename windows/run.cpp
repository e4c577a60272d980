// "Start Changing": rewrites every value of the current field in the chosen
// case, one statement per record, while the progress bar moves.
#include "windows/run.h"

#include <QCoreApplication>
#include <cmath>
#include <memory>

#include "caserules/case.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/mysql.h"
#include "journal/recorder.h"
#include "shell/errorreport.h"
#include "shell/main.h"
#include "windows/form1.h"
#include "windows/form2.h"

namespace Run {

QString EscapeValue(const QString& text) {
  QString escaped;
  escaped.reserve(text.size() + 8);
  for (const QChar c : text) {
    if (c == u'\\') {
      escaped += QStringLiteral("\\\\");
    } else if (c == u'\'') {
      escaped += QStringLiteral("\\'");
    } else if (c == QChar(0)) {
      escaped += QStringLiteral("\\0");
    } else {
      escaped += c;
    }
  }
  return escaped;
}

QString FieldQuery(const QString& table, const QString& field) {
  return QStringLiteral("SELECT ") + MySQL::QuoteName(field) + QStringLiteral(" FROM ") + MySQL::QuoteName(table);
}

qsizetype CharacterCount(const QString& text) {
  qsizetype count = text.size();
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate()) {
      --count;
      ++i;
    }
  }
  return count;
}

QString UpdateStatement(const QString& table, const QString& field, const QString& fieldAgain, const QString& oldText,
                        const QString& newText, qsizetype oldCharacters) {
  // Only rows whose whole value is the record's value are touched, so one
  // record's text is never replaced inside another record's value. REPLACE
  // compares exactly; the length test keeps rows that merely compare equal
  // under the column's collation (trailing spaces, ignorable characters)
  // for their own records.
  const QString column = MySQL::QuoteName(field);
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(table) + QStringLiteral(" SET ") + column +
         QStringLiteral(" = REPLACE(") + MySQL::QuoteName(fieldAgain) + QStringLiteral(",'") + oldText +
         QStringLiteral("','") + newText + QStringLiteral("')") + QStringLiteral(" WHERE ") + column +
         QStringLiteral(" = '") + oldText + QStringLiteral("' AND CHAR_LENGTH(") + column + QStringLiteral(") = ") +
         QString::number(oldCharacters) + u';';
}

QString SessionModeStatement(const QString& currentMode) {
  QStringList modes = currentMode.split(u',', Qt::SkipEmptyParts);
  modes.removeAll(QStringLiteral("NO_BACKSLASH_ESCAPES"));
  if (!modes.contains(QStringLiteral("STRICT_ALL_TABLES"))) modes << QStringLiteral("STRICT_ALL_TABLES");
  return QStringLiteral("SET SESSION sql_mode = '") + modes.join(u',') + QStringLiteral("';");
}

}  // namespace Run

void Form2::PushButton1_Click() {
  Main::Procedure p(QStringLiteral("Form2"), QStringLiteral("PushButton1_Click"));
  std::unique_ptr<ADODB::Connection> connection;
  std::unique_ptr<ADODB::RecordSet> records;
  std::unique_ptr<Batch::Sender> sender;
  qint32 lastRecord = 0;
  QString tableName, fieldName, oldText, newText, statement;
  qsizetype oldCharacters = 0;
  QVariant value;

  p.Line(100, [&] { connection = std::make_unique<ADODB::Connection>(); });
  p.Line(102, [&] { records = std::make_unique<ADODB::RecordSet>(); });
  if (!p.If(104, [&] { return ListView2->Count() >= 1; })) {
    p.Line(206, [&] { Main::MsgBox(QStringLiteral("Please select a field.")); });
    return;
  }
  // Nothing the run reads from the window may change under it.
  InputGuard::Hold hold(*guard_);
  p.Line(106, [&] { pointer_.Set(PointerState::Busy); });
  p.Line(108, [&] { connection->CommandTimeout = 5000; });
  p.Line(110, [&] { connection->ConnectionTimeout = 5000; });
  p.Line(112, [&] {
    connection->CursorLocation = ADODB::adUseClient;
    connection->MultipleStatements = true;  // the statements travel in batches
  });
  // A statement's failure that concerns its own record is reported at its
  // execute line once its batch has gone; a failure no later record can
  // escape ends the run after one report.
  int executeLine = 0;
  bool ended = false;
  const auto send = [&](const std::function<void()>& step) {
    if (ended) return;
    if (!sender) throw ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed."));
    try {
      step();
    } catch (const Batch::FatalError& e) {
      ended = true;
      p.Line(executeLine, [&] { throw e; });
    }
  };
  p.Line(114, [&] {
    connection->Open(MySQL::ConnectionString(form1_.Details()));
    // The escapes of the statements mean what they say only where backslash
    // escapes are on, and a value that does not fit must be refused, never
    // cut or blanked: make sure of both for this session.
    auto mode = connection->Execute(QStringLiteral("SELECT @@SESSION.sql_mode;"));
    const QString current = mode ? mode->Value(0).toString() : QString();
    connection->Execute(Run::SessionModeStatement(current));
    sender = std::make_unique<Batch::Sender>(*connection, [&](int line, const QString& text) {
      p.Line(line, [&] { throw ADODB::Error(text); });
    });
  });
  p.Line(116, [&] {
    records->Open(Run::FieldQuery(ListView1->SelectedText(), ListView2->SelectedText()), *connection,
                  ADODB::adOpenStatic, ADODB::adLockOptimistic);
  });
  // Every batch's changes reach the undo journal before its commit; a run
  // that cannot be journaled stops here, before its first statement.
  std::unique_ptr<Journal::RunRecorder> journal;
  if (sender && records->IsOpen()) {
    journal = StartJournal(*connection);
    if (!journal) {
      pointer_.Set(PointerState::Default);
      return;
    }
    sender->SetHook(journal.get());
  }
  p.Line(124, [&] { lastRecord = qint32(records->RecordCount()) - 1; });

  // One mode: its search word, its rule.
  struct ModeLines {
    int test;
    Case::CaseMode mode;
  };
  static const ModeLines kModes[] = {{140, Case::CaseMode::CaseUpper},
                                     {148, Case::CaseMode::CaseLower},
                                     {156, Case::CaseMode::CaseProper},
                                     {164, Case::CaseMode::CaseSentence}};
  const auto modeIs = [&](Case::CaseMode mode) { return Case::CaseModeFromText(Combo1->currentText()) == mode; };

  if (p.If(126, [&] { return !records->Eof(); })) {
    for (qint32 counter = 0; counter <= lastRecord && !ended; ++counter) {
      p.Line(130, [&] { QCoreApplication::processEvents(); });
      p.Line(132, [&] {
        ProgressBar1->setValue(int(std::lround(double(counter + 1) / double(lastRecord + 1) * 100.0)));
      });
      // A record whose old or new text cannot be computed gets no statement,
      // so no statement ever pairs the texts of two records. Bytes have no
      // text form: rewriting them as text would corrupt them.
      bool isBytes = false;
      const bool haveOld = p.Line(134, [&] {
        oldText.clear();
        value = records->Value(0);
        isBytes = MySQL::IsBytes(value);
        if (isBytes) return;
        const QString text = MySQL::ValueText(Main::NullToValue(value, QString()));
        oldCharacters = Run::CharacterCount(text);
        oldText = Run::EscapeValue(text);
      });
      p.Line(136, [&] { tableName = ListView1->SelectedText(); });
      p.Line(138, [&] { fieldName = ListView2->SelectedText(); });
      for (const ModeLines& m : kModes) {
        if (!p.If(m.test, [&] { return modeIs(m.mode); })) continue;
        const bool haveNew = p.Line(m.test + 2, [&] {
          newText.clear();
          const QVariant again = records->Value(0);
          if (MySQL::IsBytes(again)) return;
          newText = Run::EscapeValue(Case::ConvertCase(m.mode, MySQL::ValueText(Main::NullToValue(again, QString()))));
        });
        if (haveOld && haveNew && !isBytes) {
          const bool built = p.Line(m.test + 4, [&] {
            statement = Run::UpdateStatement(tableName, fieldName, ListView2->SelectedText(), oldText, newText,
                                            oldCharacters);
          });
          executeLine = m.test + 6;
          if (built) p.Line(executeLine, [&] { send([&] { sender->Add(statement, executeLine, {oldText, newText}); }); });
        }
        break;
      }
      p.Line(172, [&] { records->MoveNext(); });
    }
    // The last batch.
    if (sender && executeLine != 0) p.Line(executeLine, [&] { send([&] { sender->Flush(); }); });
  }
  if (journal) journal->Finish();
  p.Line(176, [&] { records->Close(); });
  p.Line(178, [&] { pointer_.Set(PointerState::Default); });
  p.Line(180, [&] {
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("Progress Bar"));
  });
  p.Line(182, [&] { QCoreApplication::processEvents(); });
  if (ended) {
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
    p.Line(194, [&] { Case::ProperCaseList(*ListView3); });
  } else if (p.If(196, [&] { return modeIs(Case::CaseMode::CaseSentence); })) {
    p.Line(198, [&] { Case::SentenceCaseList(*ListView3); });
  } else {
    p.Line(200, [&] { Main::MsgBox(QStringLiteral("mess up")); });
  }
}
