// A window test whose run goes on while a second client writes to the same
// table.
#pragma once

#include "tests/support/writer.h"
#include "tests/windows/fixture.h"

class WritingTest : public WindowTest {
 protected:
  void ChooseField(Form2& f) {
    for (int i = 1; i <= f.ListView1->Count(); ++i)
      if (f.ListView1->ItemText(i) == "t") ClickItem(f.ListView1, i);
    ClickItem(f.ListView2, 2);  // v
    ASSERT_EQ(f.ListView2->SelectedText(), "v");
    f.Combo1->setCurrentIndex(2);  // Proper Case
  }
  // Runs with the writer working throughout: at each tenth of the way the
  // run waits until the writer has done some more writes.
  void RunWhileWriting(Form2& f, ConcurrentWriter& writer) {
    int lastStep = 0;
    QMetaObject::Connection watch = QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
      if (v / 10 == lastStep || v == 0) return;
      lastStep = v / 10;
      EXPECT_TRUE(writer.WaitForWrites(20)) << writer.Failure().toStdString();
    });
    writer.Start();
    ASSERT_TRUE(writer.WaitForWrites(20)) << writer.Failure().toStdString();
    Click(f.PushButton1);
    QObject::disconnect(watch);
    ASSERT_TRUE(writer.WaitForWrites(20)) << writer.Failure().toStdString();
    writer.Stop();
    EXPECT_TRUE(writer.Failure().isEmpty()) << writer.Failure().toStdString();
  }
};
