// tests/FaultCatalogueTest.cpp: the real daemon when its catalogue or its
// work directory is unusable: a catalogue that is not a database, a
// read-only catalogue, a work directory that cannot be created, a disk that
// fills up. Each must be reported clearly, must not crash the service, and
// SIGTERM must still end it with status 0; where the fault goes away, the
// catalogue must end up equal to the folders.
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "FaultSupport.h"

namespace {

using fault::record;

class FaultCatalogueTest : public FaultTest {
 protected:
  // Runs the daemon on lib until it has adjusted once for a file added
  // after its start, then stops it; returns the log.
  std::string runOneAdjustment(const fault::Launch& how) {
    fault::Daemon daemon(how);
    EXPECT_TRUE(waitForLog("DB Time = ", 60)) << log();
    copy("photo.jpg", lib + "/added.jpg");
    EXPECT_TRUE(waitForLog("Adjust DB Time = ", 40)) << log();
    EXPECT_TRUE(daemon.isRunning());
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.waitForExit(), 0);
    return log();
  }
};

TEST_F(FaultCatalogueTest, CatalogueOfRandomBytesIsReportedAndLeftAlone) {
  copy("photo.jpg", lib + "/a.jpg");
  std::mt19937 random(6);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  testhome::writeFile(dbPath, noise);

  const std::string text = runOneAdjustment(launch({"6", lib}));
  EXPECT_NE(text.find(record("Ombrix", 100, "update db error: file is not a database\n")),
            std::string::npos)
      << text;
  // Each cycle names the cause again; the new file waits for a retry.
  EXPECT_NE(text.find(record("Ombrix", 203, "fial insert mapfile is not a database\n")),
            std::string::npos)
      << text;
  // Someone else's file is not ours to overwrite.
  EXPECT_EQ(testhome::readFile(dbPath), noise);
}

// What a kill during the first build leaves when it comes before the schema
// was committed: an empty file, which must not pass for a catalogue.
TEST_F(FaultCatalogueTest, EmptyCatalogueFileIsBuiltAfresh) {
  copy("photo.jpg", lib + "/a.jpg");
  testhome::writeFile(dbPath, "");
  fault::Daemon daemon(launch({"6", lib}));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 60)) << log();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
  EXPECT_EQ(fault::catalogueFaults(dbPath, {lib}), std::vector<std::string>{}) << log();
  EXPECT_EQ(catalogtest::value(dbPath, "select min(ID) from OBJECTS"), "1001");
}

TEST_F(FaultCatalogueTest, ReadOnlyCatalogueIsReportedAndLeftAlone) {
  copy("photo.jpg", lib + "/a.jpg");
  std::string errMsg;
  ASSERT_TRUE(catalogtest::createCatalogue(dbPath, errMsg)) << errMsg;
  ASSERT_EQ(chmod(dbPath.c_str(), 0444), 0);
  fault::Launch how = launch({"6", lib});
  // The superuser writes through any file mode, so the daemon runs as nobody.
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    how.uid = nobody->pw_uid;
    how.gid = nobody->pw_gid;
    ASSERT_EQ(testhome::runProgram(
                  {"chown", "-R", std::to_string(how.uid) + ":" + std::to_string(how.gid), home}),
              0);
  }
  const std::string before = testhome::readFile(dbPath);

  const std::string text = runOneAdjustment(how);
  EXPECT_NE(
      text.find(record("Ombrix", 100, "update db error: attempt to write a readonly database\n")),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("Insert file error: attempt to write a readonly database\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(testhome::readFile(dbPath), before);
}

TEST_F(FaultCatalogueTest, WorkDirectoryThatCannotBeCreatedIsReported) {
  copy("photo.jpg", lib + "/a.jpg");
  const std::string missingHome = home + "/missing";  // mkdir makes no parents
  fault::Launch how = launch({"6", lib});
  how.home = missingHome;
  fault::Daemon daemon(how);
  const std::string output = home + "/output.txt";
  ASSERT_TRUE(fault::waitForText(output, "Ombrix: ", 30)) << testhome::readFile(output);
  std::this_thread::sleep_for(std::chrono::seconds(16));  // one service cycle without a home
  EXPECT_TRUE(daemon.isRunning());
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
  // With nowhere to log, standard error says why, once.
  const std::string text = testhome::readFile(output);
  EXPECT_EQ(fault::count(text, "Ombrix: cannot create the work directory " + missingHome +
                                   "/nstemp: No such file or directory\n"),
            1u)
      << text;
  EXPECT_FALSE(Util::isDirExist(missingHome));
}

}  // namespace
