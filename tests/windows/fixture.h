// Real windows on the offscreen platform, with a fresh settings store, a
// recorder for message boxes, no skin and no web visit.
#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

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
    const QRect r = list->visualItemRect(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
  }

  QTemporaryDir folder;
  BoxRecorder boxes;
  std::unique_ptr<Form1> form1;
};
