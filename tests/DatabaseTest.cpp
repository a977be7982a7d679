// Tests of the connection wrapper against real catalogue files.
#include "Database/Database.h"

#include <chrono>

#include "CatalogTestSupport.h"
#include "Common/Logger.h"
#include "TestHome.h"

namespace {

class DatabaseTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    logPath = home + "/nstemp/Ombrix.log";
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(6);
    ASSERT_GE(Database(catalogPath).execute("create table T (ID INTEGER PRIMARY KEY, V TEXT);",
                                            errMsg),
              0)
        << errMsg;
  }
  void TearDown() override {
    Logger::getInstance().setLevel(Logger::kDefaultLevel);
    TestHome::TearDown();
  }
  std::string log() const { return testhome::readFile(logPath); }
  int64_t rowCount() { return std::stoll(catalogtest::value(catalogPath, "select count(*) from T")); }

  std::string logPath;
  std::string errMsg;
};

TEST_F(DatabaseTest, ExecuteReturnsLastRowIdOrZero) {
  Database db(catalogPath);
  EXPECT_EQ(7, db.execute("insert into T values (7, 'a');", errMsg));
  EXPECT_EQ(0, db.execute("update T set V = 'b';", errMsg));
  EXPECT_EQ("", errMsg);
  EXPECT_EQ("b", catalogtest::value(catalogPath, "select V from T where ID = 7"));
}

TEST_F(DatabaseTest, FailedSecondStatementLeavesNothingOfTheFirst) {
  Database db(catalogPath);
  EXPECT_EQ(-1, db.execute("insert into T values (1, 'a'); insert into NOPE values (2);", errMsg));
  EXPECT_EQ("no such table: NOPE", errMsg);
  EXPECT_EQ(0, rowCount());
  EXPECT_EQ("[Database/Database].[49]\n  db error at exec\n\n", log());
}

TEST_F(DatabaseTest, OpenFailureInMissingDirectory) {
  Database db(home + "/no/such/dir/daskor.db");
  EXPECT_EQ(-1, db.execute("select 1;", errMsg));
  EXPECT_EQ("unable to open database file", errMsg);
  EXPECT_FALSE(db.beginTransaction(errMsg));
  std::string queryErr;
  EXPECT_EQ(-1, db.queryValue("select 1;", queryErr).value);  // not logged
  EXPECT_EQ("unable to open database file", queryErr);
  EXPECT_EQ("[Database/Database].[32]\n  db error at open\n\n"
            "[Database/Database].[74]\n  db error at open\n\n",
            log());
}

TEST_F(DatabaseTest, TransactionKeepsBothRowsOrNeither) {
  Database db(catalogPath);
  ASSERT_TRUE(db.beginTransaction(errMsg));
  EXPECT_EQ(1, db.executeInTransaction("insert into T values (1, 'x');", errMsg));
  EXPECT_EQ(-1, db.executeInTransaction("insert into T values (1, 'dup');", errMsg));
  EXPECT_EQ("UNIQUE constraint failed: T.ID", errMsg);
  EXPECT_FALSE(db.commitTransaction(errMsg));  // the failure closed the connection
  EXPECT_EQ(0, rowCount());

  ASSERT_TRUE(db.beginTransaction(errMsg));
  EXPECT_EQ(2, db.executeInTransaction("insert into T values (2, 'x');", errMsg));
  EXPECT_EQ(3, db.executeInTransaction("insert into T values (3, 'y');", errMsg));
  EXPECT_TRUE(db.commitTransaction(errMsg));
  EXPECT_EQ(2, rowCount());
}

TEST_F(DatabaseTest, QueryValueTriesThreeTimesAndKeepsErrorTextOnNoRow) {
  Database db(catalogPath);
  db.execute("insert into T values (42, '17abc');", errMsg);
  EXPECT_EQ(42, db.queryValue("select ID from T where V = '17abc';", errMsg).value);
  EXPECT_EQ(17, db.queryValue("select V from T;", errMsg).value);  // leading number, as atoll
  errMsg = "untouched";
  EXPECT_EQ(-1, db.queryValue("select ID from T where ID = 5;", errMsg).value);
  EXPECT_EQ("untouched", errMsg);
  EXPECT_EQ("", log());

  EXPECT_EQ(-1, db.queryValue("select from where;", errMsg).value);
  EXPECT_NE(std::string::npos, errMsg.find("syntax error")) << errMsg;
  EXPECT_EQ("[Database/Database].[148]\n  nTrys > 2\n\n", log());
}

TEST_F(DatabaseTest, WriteLockHeldByAnotherProcessFailsAfterBusyTimeout) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(catalogPath.c_str(), &raw));
  SqliteHandle reader(raw);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(reader.get(), "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));

  Database db(catalogPath);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, db.execute("insert into T values (1, 'a');", errMsg));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ("database is locked", errMsg);
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 5.0);

  sqlite3_exec(reader.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
  reader.reset();
  EXPECT_EQ("ok", catalogtest::value(catalogPath, "pragma integrity_check"));
  EXPECT_EQ(0, rowCount());
  EXPECT_EQ(1, db.execute("insert into T values (1, 'a');", errMsg));
}

}  // namespace
