// The real windows on a real X server (Xvfb): what the window system
// reports about them, and input that arrives through it (xdotool).
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QWindow>

#include "shell/settings.h"

#include "shell/errorreport.h"
#include "tests/support/realboxes.h"
#include "tests/windows/fixture.h"

// Readable failures: texts print as texts.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

// Runs an X tool to its end; its standard output.
QString Tool(const QString& program, const QStringList& arguments) {
  QProcess p;
  p.start(program, arguments);
  if (!p.waitForFinished(60000)) ADD_FAILURE() << program.toStdString() << " did not finish";
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
  // A real click at a point of a control.
  void XClick(QWidget* control, QPoint at, int button = 1, int repeat = 1) {
    QWidget* window = control->window();
    const QPoint p = control->mapTo(window, at);
    Tool("xdotool", {"mousemove", "--window", Id(window->winId()), QString::number(p.x()), QString::number(p.y()),
                     "click", "--repeat", QString::number(repeat), "--delay", "40", QString::number(button)});
  }
  void XClick(QWidget* control) { XClick(control, control->rect().center()); }
  void XType(const QString& text) { Tool("xdotool", {"type", "--delay", "20", text}); }
  void XKey(const QString& key) { Tool("xdotool", {"key", key}); }

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
