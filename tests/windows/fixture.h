// Real windows on the offscreen platform, with a fresh settings store, a
// recorder for message boxes, no skin and no web visit.
#pragma once

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "caserules/case.h"
#include "shell/main.h"
#include "shell/settings.h"
#include "tests/support/recorder.h"
#include "tests/support/testdb.h"
#include "tests/support/typedetails.h"
#include "windows/form1.h"
#include "windows/form2.h"

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QFile::remove(Main::SettingsFilePath());
    Main::SetProgramFolder(folder.path());
    Main::SetRandomDraw([] { return 0.5; });
    Main::SetProcessStarter([](const QString&, const QStringList&) { return true; });
  }
  void TearDown() override {
    form1.reset();
    Main::SetProgramFolder(QString());
    Main::SetRandomDraw({});
    Main::SetProcessStarter({});
  }

  // Stores complete details for the given database.
  void StoreDetails(const MySQL::ConnectionDetails& d) {
    Main::SaveSetting("MyServer", d.server);
    Main::SaveSetting("MyUser", d.user);
    Main::SaveSetting("MyPassword", d.password);
    Main::SaveSetting("MyDatabase", d.database);
    Main::SaveSetting("MyPort", d.port);
  }

  // Starts the program as main() does.
  Form1& Start() {
    form1 = std::make_unique<Form1>();
    form1->Form_Load();
    if (!(form1->HasForm2() && form1->GetForm2().isVisible())) form1->show();
    return *form1;
  }

  // Starts with stored details that connect, stepping to the selection window.
  Form2& OpenForm2(const MySQL::ConnectionDetails& d) {
    StoreDetails(d);
    Form1& f = Start();
    EXPECT_TRUE(f.HasForm2());
    return f.GetForm2();
  }

  QStringList Items(ListView* list) {
    QStringList items;
    for (int i = 1; i <= list->Count(); ++i) items << list->ItemText(i);
    return items;
  }

  void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
  void ClickItem(ListView* list, int position) {
    QTreeWidgetItem* item = list->topLevelItem(position - 1);
    list->scrollToItem(item);
    const QRect r = list->visualItemRect(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
  }

  QTemporaryDir folder;
  BoxRecorder boxes;
  std::unique_ptr<Form1> form1;
};

// Values that collide on purpose: seeds, their case variants, pieces joined
// with spaces, duplicates and NULLs. For a latin1 column a value with a
// character latin1 lacks is replaced by a plain one.
inline QList<QVariant> CollidingValues(QRandomGenerator& random, const QStringList& seeds, bool latin1, int count) {
  QList<QVariant> values;
  for (int i = 0; i < count; ++i) {
    const int pick = int(random.bounded(10));
    QString v = seeds[int(random.bounded(seeds.size()))];
    if (pick == 0) {
      values << QVariant();
      continue;
    }
    if (pick == 1) v = Case::UpperText(v);
    if (pick == 2) v = v + " " + seeds[int(random.bounded(seeds.size()))];
    if (pick == 3) v = Case::LowerText(v) + "  ";
    if (latin1) {
      bool ok = true;
      for (QChar c : v) ok = ok && (c.unicode() < 0x100 || c == QChar(0x178));
      if (!ok) v = "latin " + QString::number(i);
    }
    values << v;
  }
  return values;
}

// The rows (id, value) for an INSERT, ids counted from 0.
inline QString RowLiterals(const QList<QVariant>& values) {
  QStringList rows;
  for (int i = 0; i < values.size(); ++i)
    rows << QStringLiteral("(%1, %2)").arg(i).arg(values[i].isNull() ? "NULL" : "'" + EscapeValue(values[i].toString()) + "'");
  return rows.join(",");
}
