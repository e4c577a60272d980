// The whole road through the windows (probe, listing, field list, preview,
// connection test, run) on a server without TLS, one offering it and one
// requiring it.
#include <memory>

#include "tests/windows/fixture.h"

namespace {

class TlsRunTest : public WindowTest, public ::testing::WithParamInterface<PrivateServer::Tls> {
 protected:
  static void SetUpTestSuite() {
    for (auto tls : {PrivateServer::Tls::None, PrivateServer::Tls::Offered, PrivateServer::Tls::Required})
      servers[int(tls)] = std::make_unique<PrivateServer>(tls);
  }
  static void TearDownTestSuite() {
    for (auto& s : servers) s.reset();
  }
  static PrivateServer& Server() { return *servers[int(GetParam())]; }

  static std::unique_ptr<PrivateServer> servers[3];
};

std::unique_ptr<PrivateServer> TlsRunTest::servers[3];

QString Name(const ::testing::TestParamInfo<PrivateServer::Tls>& info) {
  switch (info.param) {
    case PrivateServer::Tls::None: return "Plain";
    case PrivateServer::Tls::Offered: return "TlsOffered";
    case PrivateServer::Tls::Required: return "TlsRequired";
    default: return "Other";
  }
}

}  // namespace

TEST_P(TlsRunTest, EveryOperationAndAWholeRun) {
  TestDatabase db(Server().Details());
  db.Exec({"CREATE TABLE people (id INT PRIMARY KEY, name VARCHAR(40), town VARCHAR(40))",
           "INSERT INTO people VALUES (1, 'ann o''neil', 'OSLO'), (2, 'JEAN-LUC', 'bergen')"});

  // Start-up probe and listing, then the field list and the preview.
  Form2& f = OpenForm2(db.Details());
  EXPECT_EQ(Items(f.ListView1), QStringList({"people"}));
  EXPECT_EQ(Items(f.ListView2), QStringList({"id", "name", "town"}));
  ClickItem(f.ListView2, 2);
  EXPECT_EQ(Items(f.ListView3), QStringList({"ann o'neil", "JEAN-LUC"}));

  f.Combo1->setCurrentIndex(2);  // Proper Case
  Click(f.PushButton1);
  EXPECT_EQ(Items(f.ListView3), QStringList({"Ann O'neil", "Jean-luc"}));
  EXPECT_EQ(db.Values("SELECT name FROM people ORDER BY id"), QStringList({"Ann O'neil", "Jean-luc"}));
  EXPECT_EQ(db.Values("SELECT town FROM people ORDER BY id"), QStringList({"OSLO", "bergen"}));

  // The connection test on the connection window.
  Click(form1->PushButton5);
  ASSERT_FALSE(boxes.boxes.empty());
  EXPECT_EQ(boxes.boxes.back().text, "Connection successful.");
  EXPECT_EQ(boxes.boxes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsRunTest,
                         ::testing::Values(PrivateServer::Tls::None, PrivateServer::Tls::Offered,
                                           PrivateServer::Tls::Required),
                         [](const auto& info) { return Name(info).toStdString(); });
