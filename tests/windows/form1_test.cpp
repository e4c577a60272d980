#include <QMouseEvent>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <QStyle>

#include "tests/windows/fixture.h"

using Form1Test = WindowTest;

TEST_F(Form1Test, LayoutNamesTextsAndTabOrder) {
  Form1& f = Start();
  EXPECT_EQ(f.size(), QSize(536, 245));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_EQ(f.windowTitle(), "Norvale");
  EXPECT_EQ(f.Text1->geometry(), QRect(88, 24, 305, 23));
  EXPECT_EQ(f.Text5->geometry(), QRect(432, 24, 73, 23));
  EXPECT_EQ(f.Text4->geometry(), QRect(88, 120, 417, 22));
  EXPECT_EQ(f.PushButton3->geometry(), QRect(8, 210, 520, 27));
  EXPECT_EQ(f.Frame1->geometry(), QRect(8, 8, 520, 193));
  EXPECT_EQ(f.Frame1->title(), "MySQL Login");
  EXPECT_EQ(f.PushButton5->text(), "Test Connection");
  EXPECT_EQ(f.PushButton4->text(), "Help");
  EXPECT_EQ(f.PushButton3->text(), "Next >");
  EXPECT_EQ(f.Text3->echoMode(), QLineEdit::Password);
  EXPECT_EQ(f.Text3->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, f.Text3), '*');
  EXPECT_EQ(f.PushButton3->font().pointSizeF(), 11.25);
  EXPECT_TRUE(f.Text1->font().bold());
  QWidget* w = f.Text1;
  QStringList order;
  for (int i = 0; i < 8; ++i, w = w->nextInFocusChain()) order << w->objectName();
  EXPECT_EQ(order, QStringList({"Text1", "Text5", "Text2", "Text3", "Text4", "PushButton5", "PushButton4", "PushButton3"}));
}

TEST_F(Form1Test, FirstStartShowsDefaultsAndStoresServerAndPort) {
  Form1& f = Start();
  EXPECT_EQ(f.Text1->text(), "localhost");
  EXPECT_EQ(f.Text2->text(), "");
  EXPECT_EQ(f.Text3->text(), "");
  EXPECT_EQ(f.Text4->text(), "");
  EXPECT_EQ(f.Text5->text(), "3306");
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.HasForm2());
  EXPECT_EQ(Main::GetSetting("MyServer", "absent"), "localhost");
  EXPECT_EQ(Main::GetSetting("MyPort", "absent"), "3306");
  EXPECT_EQ(Main::GetSetting("MyUser", "absent"), "absent");
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form1Test, StoredDetailsThatConnectGoStraightToTheTables) {
  TestDatabase db;
  db.Exec({"CREATE TABLE people (name VARCHAR(40), city VARCHAR(40))", "INSERT INTO people VALUES ('ann', 'oslo')",
           "CREATE TABLE sysstuff (id INT)"});
  StoreDetails(db.Details());
  Form1& f = Start();
  ASSERT_TRUE(f.HasForm2());
  Form2& f2 = f.GetForm2();
  EXPECT_TRUE(f2.isVisible());
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(Items(f2.ListView1), QStringList({"people"}));
  EXPECT_EQ(Items(f2.ListView2), QStringList({"name", "city"}));
  EXPECT_EQ(Items(f2.ListView3), QStringList({"ann"}));
  EXPECT_TRUE(boxes.boxes.empty());
}

namespace {

// Listens on the driver's default port, counting connection attempts and
// closing each one at once (the driver then gives up without waiting).
class DefaultPortListener {
 public:
  DefaultPortListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3306);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 8) == 0;
    if (bound_) {
      thread_ = std::thread([this] {
        for (;;) {
          const int client = ::accept(fd_, nullptr, nullptr);
          if (client < 0) return;
          ++attempts;
          ::close(client);
        }
      });
    }
  }
  ~DefaultPortListener() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  bool bound_ = false;
  std::atomic<int> attempts{0};

 private:
  int fd_ = -1;
  std::thread thread_;
};

}  // namespace

TEST_F(Form1Test, StoredDetailsEmptyPortStillTried) {
  TestDatabase db;
  auto d = db.Details();
  d.server = "127.0.0.1";
  d.port = "";
  StoreDetails(d);
  // An empty port leaves the driver its default port, 3306: the start-up
  // probe goes there, fails quietly, and the connection window stays.
  DefaultPortListener listener;
  ASSERT_TRUE(listener.bound_) << "port 3306 must be free for this test";
  Form1& f = Start();
  EXPECT_EQ(f.Text5->text(), "");
  EXPECT_GE(listener.attempts.load(), 1);
  EXPECT_TRUE(f.isVisible());
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form1Test, NothingListeningShowsTheWindowWithoutMessage) {
  TestDatabase db;
  auto d = db.Details();
  d.port = "1";
  StoreDetails(d);
  Form1& f = Start();
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.HasForm2());
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form1Test, TestConnectionSuccessAndFailure) {
  TestDatabase db;
  Form1& f = Start();
  const auto d = db.Details();
  auto wrong = d;
  wrong.password += "wrong";
  TypeDetails(f, wrong);
  Click(f.PushButton5);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, Form1::kConnectFailed);
  EXPECT_EQ(boxes.boxes[0].title, "Norvale");
  EXPECT_EQ(boxes.boxes[0].icon, Main::BoxIcon::None);
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);

  f.Text3->setText(d.password);
  Click(f.PushButton5);
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].text, "Connection successful.");
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
}

TEST_F(Form1Test, NextWithWrongPasswordDoesNothingVisible) {
  TestDatabase db;
  Form1& f = Start();
  auto d = db.Details();
  d.password = "wrong";
  TypeDetails(f, d);
  Click(f.PushButton3);
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.HasForm2());
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form1Test, HelpTextIsExact) {
  Form1& f = Start();
  Click(f.PushButton4);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text,
            "If you cannot establish connection to your database with this program, please go to: \r\r" +
                Form1::kWorkbenchAddress +
                "\r\rDownload and install the MySQL Workbench. Try to connect to the same database (with the same "
                "login information you are using here). This will determine if the login you are using is correct."
                "\r\rFinally, make sure your host allows a direct connection to your MySQL database -- not a web "
                "based connection, for example.");
  EXPECT_FALSE(boxes.boxes[0].text.contains('\n'));
  EXPECT_EQ(boxes.boxes[0].title, "Norvale");
}

TEST_F(Form1Test, TypingWritesEachCharacterAndAClearedServerStaysEmpty) {
  Form1& f = Start();
  f.Text2->setFocus();
  QTest::keyClicks(f.Text2, "ab");
  EXPECT_EQ(Main::GetSetting("MyUser", "absent"), "ab");
  QTest::keyClick(f.Text2, Qt::Key_Backspace);
  EXPECT_EQ(Main::GetSetting("MyUser", "absent"), "a");
  f.Text1->selectAll();
  QTest::keyClick(f.Text1, Qt::Key_Delete);
  EXPECT_EQ(Main::GetSetting("MyServer", "absent"), "");
  form1.reset();
  Form1& again = Start();
  EXPECT_EQ(again.Text1->text(), "");
  EXPECT_EQ(again.Text2->text(), "a");
}

TEST_F(Form1Test, FocusSelectsTheWholeText) {
  Form1& f = Start();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  f.Text5->setFocus(Qt::TabFocusReason);
  QTest::qWait(10);
  EXPECT_EQ(f.Text5->selectedText(), "3306");
  // Focus handed back for other reasons leaves the text as it is.
  f.Text2->setText("abc");
  f.Text2->setFocus(Qt::PopupFocusReason);
  QTest::qWait(10);
  EXPECT_EQ(f.Text2->selectedText(), "");
}

TEST_F(Form1Test, PointerFollowsRealMouseMoves) {
  QFile::copy(NORVALE_SOURCE_DIR "/resources/HAND-M.CUR", folder.filePath("HAND-M.CUR"));
  Form1& f = Start();
  ASSERT_TRUE(f.Pointer().HasHandImage());
  QTest::mouseMove(f.PushButton3, QPoint(20, 10));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Hand);
  // Over a label or the port box the hand stays.
  QTest::mouseMove(f.Label2, QPoint(5, 5));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Hand);
  QTest::mouseMove(f.Text5, QPoint(5, 5));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Hand);
  QTest::mouseMove(f.Text2, QPoint(5, 5));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  QTest::mouseMove(f.PushButton4, QPoint(5, 5));
  QTest::mouseMove(f.Frame1, QPoint(300, 100));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  // Busy is never changed by a move.
  f.Pointer().Set(PointerState::Busy);
  QTest::mouseMove(f.PushButton5, QPoint(5, 5));
  QTest::mouseMove(&f, QPoint(2, 240));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Busy);
  EXPECT_EQ(f.cursor().shape(), Qt::WaitCursor);
}
