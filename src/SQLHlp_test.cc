#include "SQLHlp.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

class SQLHlpTest : public testing::Test {
 protected:
  void SetUp() override { SqlSetDefault(&db_); }
  void TearDown() override { SqlSetDefault(nullptr); }
  FakeSqlRuntime db_;
};

TEST_F(SQLHlpTest, ConnectsThenSwitchesTheSchema) {
  EXPECT_EQ(SqlConnect("scott", "tiger", "ORCL", "QRSCHEMA"), 0);
  std::vector<std::string> expected = {
      "connect scott/tiger@ORCL", "prepare ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA", "execute"};
  EXPECT_EQ(db_.calls, expected);
}

TEST_F(SQLHlpTest, EmptyServiceEndsTheConnectTextInAt) {
  SqlConnect("", "", "", "QRSCHEMA");
  EXPECT_EQ(db_.calls.at(0), "connect /@");
}

TEST_F(SQLHlpTest, LongSettingsAreNeverCut) {
  std::string user(199, 'u'), password(199, 'p'), service(41, 's');
  SqlConnect(user.c_str(), password.c_str(), service.c_str(), "QRSCHEMA");
  EXPECT_EQ(db_.calls.at(0), "connect " + user + "/" + password + "@" + service);
}

TEST_F(SQLHlpTest, FailedConnectReturnsItsCodeAndSwitchesNothing) {
  db_.connectResult = -1017;
  EXPECT_EQ(SqlConnect("scott", "wrong", "ORCL", "QRSCHEMA"), -1017);
  EXPECT_EQ(db_.calls.size(), 1u);
}

TEST_F(SQLHlpTest, SchemaSwitchResultIsTheExecutes) {
  db_.executeResult = -1435;
  EXPECT_EQ(SqlConnect("scott", "tiger", "ORCL", "NOSUCH"), -1435);
}

TEST_F(SQLHlpTest, CommitAnswersOneForSuccessAndZeroForFailure) {
  EXPECT_EQ(SqlCommit(), 1);
  db_.commitResult = -3113;
  EXPECT_EQ(SqlCommit(), 0);
}

TEST(SQLHlpNoRuntimeTest, StatementsFailUntilARuntimeIsInstalled) {
  SqlSetDefault(nullptr);
  EXPECT_EQ(SqlConnect("a", "b", "c", "QRSCHEMA"), kSqlNotConnected);
  EXPECT_EQ(SqlCommit(), 0);
}

}  // namespace
