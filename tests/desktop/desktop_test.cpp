// The real windows on a real X server (Xvfb): what the window system
// reports about them, and input that arrives through it (xdotool).
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QWindow>

#include "shell/errorreport.h"
#include "shell/settings.h"
#include "tests/support/realboxes.h"
#include "tests/windows/fixture.h"

// Readable failures: texts print as texts.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

// Runs an X tool to its end; its standard output. Input is sent with the
// program's event loop running, so the program meets each event as it comes,
// as it would a user's; readings of window properties are made without it.
enum class WhileRunning { Wait, HandleEvents };
QString Tool(const QString& program, const QStringList& arguments, WhileRunning mode = WhileRunning::Wait) {
  QProcess p;
  p.start(program, arguments);
  const bool finished = mode == WhileRunning::HandleEvents
                            ? QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 60000)
                            : p.waitForFinished(60000);
  if (!finished) ADD_FAILURE() << program.toStdString() << " did not finish";
  return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString Id(WId id) { return QString::number(quint64(id)); }

// The caption the window system holds for a window, from one property:
// _NET_WM_NAME (what window managers show) or WM_NAME.
QString Caption(WId id, const char* property) {
  const QString line = Tool("xprop", {"-id", Id(id), "-notype", QLatin1String(property)});
  const qsizetype first = line.indexOf(u'"'), last = line.lastIndexOf(u'"');
  if (first < 0 || last <= first) return "(no " + QLatin1String(property) + ": " + line + ")";
  return line.mid(first + 1, last - first - 1);
}

// All three ways of asking: both properties and xdotool's reading.
QStringList Captions(WId id) {
  return {Caption(id, "_NET_WM_NAME"), Caption(id, "WM_NAME"), Tool("xdotool", {"getwindowname", Id(id)})};
}

bool Until(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

class DesktopTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Main::SetMessageBoxes(nullptr);  // the real boxes
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under Xvfb (ctest does)";
  }

  // Gives the window the X input focus, as a window manager would.
  void Focus(QWidget& w) {
    Tool("xdotool", {"windowfocus", "--sync", Id(w.winId())});
    ASSERT_TRUE(Until([&] { return w.isActiveWindow(); }));
  }
  // A real click at a point of a control. Repeated clicks come a quarter
  // second apart: a double-click at an unhurried hand's pace, inside the
  // platform's double-click time.
  void XClick(QWidget* control, QPoint at, int button = 1, int repeat = 1) {
    QWidget* window = control->window();
    const QPoint p = control->mapTo(window, at);
    Tool("xdotool", {"mousemove", "--window", Id(window->winId()), QString::number(p.x()), QString::number(p.y()),
                     "click", "--repeat", QString::number(repeat), "--delay", "250", QString::number(button)},
         WhileRunning::HandleEvents);
  }
  void XClick(QWidget* control) { XClick(control, control->rect().center()); }
  void XType(const QString& text) { Tool("xdotool", {"type", "--delay", "20", text}, WhileRunning::HandleEvents); }
  void XKey(const QString& key) { Tool("xdotool", {"key", key}, WhileRunning::HandleEvents); }

  Form1& StartShown() {
    Form1& f = Start();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&f));
    return f;
  }

  static QString ScreenFolder() {
    const QString folder = QDir::current().filePath("desktop-screens");
    QDir().mkpath(folder);
    return folder;
  }
};

}  // namespace

// Every caption the window system reports is the program's own text, with
// nothing appended: the windows, the plain boxes and the error reports.
TEST_F(DesktopTest, CaptionsAreExactlyTheProgramsTexts) {
  Form1& f = StartShown();
  EXPECT_EQ(Main::ApplicationTitle(), "Norvale");
  EXPECT_EQ(Captions(f.winId()), QStringList({"Norvale", "Norvale", "Norvale"}));

  // "Help", clicked for real: a plain box with the application title.
  Focus(f);
  const OpenBox help = ReadBoxWhileOpen(
      [&] { XClick(f.PushButton4); },
      [](QMessageBox& box, OpenBox& seen) { seen.extra = Captions(box.winId()).join(u'|'); });
  ASSERT_TRUE(help.seen);
  EXPECT_EQ(help.extra, "Norvale|Norvale|Norvale");

  const OpenBox report = ReadBoxWhileOpen(
      [] { Main::ShowErrorReport(Main::LocationText("Form1", "PushButton3_Click"), 104, "Table 't.<b>pages</b>' doesn't exist"); },
      [](QMessageBox& box, OpenBox& seen) {
        seen.extra = Captions(box.winId()).join(u'|');
        box.grab().save(ScreenFolder() + "/error-report.png");
      });
  ASSERT_TRUE(report.seen);
  EXPECT_EQ(report.extra, "Application Error|Application Error|Application Error");
  EXPECT_EQ(report.format, Qt::PlainText);

  const OpenBox guarded = ReadBoxWhileOpen(
      [] { Main::Guarded("Form2", "ListView1_Click", [] { throw std::runtime_error("gone"); }); },
      [](QMessageBox& box, OpenBox& seen) { seen.extra = Captions(box.winId()).join(u'|'); });
  EXPECT_EQ(guarded.extra, "Application Error|Application Error|Application Error");

  Form2& g = f.GetForm2();
  g.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&g));
  EXPECT_EQ(Captions(g.winId()), QStringList({"Norvale", "Norvale", "Norvale"}));
}

// A box selects its whole text when the focus moves to it within the window
// (Tab, Shift+Tab, a click), and only then: coming back from another window
// or closing the box's menu leaves what the user typed alone.
TEST_F(DesktopTest, FocusSelectsAllOnlyWhenItMovesWithinTheWindow) {
  Form1& f = StartShown();
  Focus(f);
  XClick(f.Text2);
  ASSERT_TRUE(Until([&] { return f.Text2->hasFocus(); }));
  XType("abc");
  ASSERT_TRUE(Until([&] { return f.Text2->text() == "abc"; }));

  // Another program's window takes the focus, then the user comes back.
  QProcess other;
  other.start("xmessage", {"-name", "norvaleother", "-geometry", "+0+0", "another program"});
  const QString otherId = Tool("xdotool", {"search", "--sync", "--classname", "norvaleother"}).section(u'\n', 0, 0);
  ASSERT_FALSE(otherId.isEmpty());
  Tool("xdotool", {"windowfocus", "--sync", otherId});
  ASSERT_TRUE(Until([&] { return !f.isActiveWindow(); }));
  Focus(f);
  ASSERT_TRUE(Until([&] { return f.Text2->hasFocus(); }));
  XType("d");
  ASSERT_TRUE(Until([&] { return f.Text2->text() != "abc"; }));
  EXPECT_EQ(f.Text2->text(), "abcd");
  EXPECT_EQ(Main::GetSetting("MyUser", "absent"), "abcd");
  other.kill();
  other.waitForFinished();

  // The box's own menu opens and closes.
  XClick(f.Text2, f.Text2->rect().center(), 3);
  ASSERT_TRUE(Until([] { return QApplication::activePopupWidget() != nullptr; }));
  XKey("Escape");
  ASSERT_TRUE(Until([&] { return !QApplication::activePopupWidget() && f.Text2->hasFocus(); }));
  XType("e");
  ASSERT_TRUE(Until([&] { return f.Text2->text() != "abcd"; }));
  EXPECT_EQ(f.Text2->text(), "abcde");

  // Moving within the window selects: Shift+Tab, Tab, a click.
  XKey("shift+Tab");
  ASSERT_TRUE(Until([&] { return f.Text5->hasFocus() && f.Text5->selectedText() == "3306"; }));
  XType("7");
  ASSERT_TRUE(Until([&] { return f.Text5->text() != "3306"; }));
  EXPECT_EQ(f.Text5->text(), "7");
  XKey("Tab");
  ASSERT_TRUE(Until([&] { return f.Text2->hasFocus() && f.Text2->selectedText() == "abcde"; }));
  XClick(f.Text1);
  ASSERT_TRUE(Until([&] { return f.Text1->hasFocus() && f.Text1->selectedText() == "localhost"; }));
  XType("h");
  ASSERT_TRUE(Until([&] { return f.Text1->text() != "localhost"; }));
  EXPECT_EQ(f.Text1->text(), "h");
  EXPECT_EQ(Main::GetSetting("MyServer", "absent"), "h");
}

namespace {

// Turns the server's general log on (into mysql.general_log) for the life of
// the object, and reads what it holds about one table.
class GeneralLog {
 public:
  GeneralLog() {
    const QStringList old = Column(ServerDetails(), "SELECT CONCAT(@@GLOBAL.general_log, ',', @@GLOBAL.log_output)");
    old_ = old.value(0).split(u',');
    Sql(ServerDetails(), {"SET GLOBAL log_output = 'TABLE'", "SET GLOBAL general_log = 1"});
  }
  ~GeneralLog() {
    Sql(ServerDetails(), {QStringLiteral("SET GLOBAL general_log = %1").arg(old_.value(0, "0")),
                          QStringLiteral("SET GLOBAL log_output = '%1'").arg(old_.mid(1).join(u',').isEmpty()
                                                                                  ? "FILE"
                                                                                  : old_.mid(1).join(u','))});
  }
  GeneralLog(const GeneralLog&) = delete;
  GeneralLog& operator=(const GeneralLog&) = delete;

  // How often the server was handed this statement, prepared or run (an
  // execution of a prepared statement is not counted again). The driver
  // may add a row limit of its own at the end.
  int Count(const QString& statement) const {
    QString quoted = statement;
    quoted.replace("\\", "\\\\").replace("'", "\\'");
    return Column(ServerDetails(),
                  "SELECT COUNT(*) FROM mysql.general_log WHERE command_type IN ('Query', 'Prepare') AND "
                  "(CONVERT(argument USING utf8mb4) = '" + quoted + "' OR CONVERT(argument USING utf8mb4) LIKE '" +
                      quoted + " LIMIT %')")
        .value(0)
        .toInt();
  }

 private:
  QStringList old_;
};

}  // namespace

// A double-click on a table or a field is one choice: the server's general
// log shows its statements once each.
TEST_F(DesktopTest, DoubleClickRunsTheTableAndFieldOperationsOnce) {
  TestDatabase db;
  // Names of this run's own, since the log is the whole server's.
  const QString table = QStringLiteral("twice_%1").arg(QCoreApplication::applicationPid());
  db.Exec({"CREATE TABLE first_table (v VARCHAR(10))", "INSERT INTO first_table VALUES ('one')",
           QStringLiteral("CREATE TABLE %1 (word VARCHAR(10), other VARCHAR(10))").arg(table),
           QStringLiteral("INSERT INTO %1 VALUES ('a', 'b'), ('c', 'd')").arg(table)});
  GeneralLog log;
  Form2& f = OpenForm2(db.Details());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  ASSERT_EQ(Items(f.ListView1), QStringList({"first_table", table}));
  const QString all = "SELECT * FROM `" + table + "`";
  const QString word = "SELECT `word` FROM `" + table + "`";
  const QString other = "SELECT `other` FROM `" + table + "`";
  ASSERT_EQ(log.Count(all), 0);
  Focus(f);

  // Waits until every input event sent so far has been handled and every
  // operation they started has ended: X delivers events in order, so once a
  // pointer move to a new spot on "< Back", sent afterwards, has arrived,
  // the clicks before it have arrived too.
  struct MoveSpy : QObject {
    QPoint last;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::MouseMove) last = static_cast<QMouseEvent*>(e)->position().toPoint();
      return false;
    }
  } moves;
  f.PushButton5->installEventFilter(&moves);
  int spot = 0;
  const auto settled = [&] {
    const QPoint marker(20 + 7 * ++spot, 8);
    const QPoint inWindow = f.PushButton5->mapTo(&f, marker);
    Tool("xdotool", {"mousemove", "--window", Id(f.winId()), QString::number(inWindow.x()), QString::number(inWindow.y())});
    EXPECT_TRUE(Until([&] { return moves.last == marker && !f.Busy(); }));
  };
  const auto doubleClick = [&](ListView* list, int position) {
    XClick(list->viewport(), list->visualItemRect(list->topLevelItem(position - 1)).center(), 1, 2);
    settled();
  };

  doubleClick(f.ListView1, 2);
  EXPECT_EQ(f.ListView1->SelectedText(), table);
  EXPECT_EQ(Items(f.ListView3), QStringList({"a", "c"}));
  EXPECT_EQ(log.Count(all), 1);
  EXPECT_EQ(log.Count(word), 1);

  doubleClick(f.ListView2, 2);
  EXPECT_EQ(Items(f.ListView3), QStringList({"b", "d"}));
  EXPECT_EQ(log.Count(other), 1);
  EXPECT_EQ(log.Count(all), 1);

  // A single click still chooses.
  XClick(f.ListView2->viewport(), f.ListView2->visualItemRect(f.ListView2->topLevelItem(0)).center());
  settled();
  EXPECT_EQ(Items(f.ListView3), QStringList({"a", "c"}));
  EXPECT_EQ(log.Count(word), 2);
}

// The connection window's frame and labels are white like the window: read
// back from the X server's own pixels.
TEST_F(DesktopTest, ConnectionWindowFrameAndLabelsAreWhite) {
  Form1& f = StartShown();
  ASSERT_TRUE(Until([&] {
    return !QGuiApplication::primaryScreen()->grabWindow(f.winId()).toImage().isNull();
  }));
  const QImage shot = QGuiApplication::primaryScreen()->grabWindow(f.winId()).toImage();
  shot.save(ScreenFolder() + "/connection-window.png");
  ASSERT_EQ(shot.size(), f.size());
  // Every pixel of a region must be pure white.
  const auto notWhite = [&](const QRect& region) {
    int count = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
      for (int x = region.left(); x <= region.right(); ++x) count += shot.pixel(x, y) != qRgb(255, 255, 255);
    return count;
  };
  const auto inWindow = [&](QWidget* w, const QRect& r) { return QRect(w->parentWidget()->mapTo(&f, r.topLeft()), r.size()); };
  // The frame's inside, in the gaps between its rows of controls.
  EXPECT_EQ(notWhite(inWindow(f.Text1, QRect(16, 48, 488, 7))), 0);
  EXPECT_EQ(notWhite(inWindow(f.Text1, QRect(16, 144, 488, 7))), 0);
  EXPECT_EQ(notWhite(inWindow(f.Text1, QRect(16, 181, 488, 8))), 0);
  // Each label's rows above and below its text, and the window outside the frame.
  for (QLabel* label : {f.Label1, f.Label2, f.Label3, f.Label4, f.Label9}) {
    const QRect r = label->geometry();
    EXPECT_EQ(notWhite(inWindow(label, QRect(r.left(), r.top(), r.width() - 2, 1))), 0) << label->objectName().toStdString();
    EXPECT_EQ(notWhite(inWindow(label, QRect(r.left(), r.bottom(), r.width() - 2, 1))), 0) << label->objectName().toStdString();
  }
  EXPECT_EQ(notWhite(QRect(0, 203, 536, 5)), 0);
  // The frame still has its line.
  EXPECT_NE(shot.pixel(f.Frame1->geometry().left(), 100), qRgb(255, 255, 255));
}
