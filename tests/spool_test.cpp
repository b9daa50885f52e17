// The spool on its own: order, bound, survival across a reopen, and files
// that are not (or no longer) usable spools.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Spool.h"
#include "ServiceStatus.h"
#include "SpoolSender.h"
#include "log_reader.h"
#include "temp_cwd.h"

namespace {

class SpoolTest : public ::testing::Test {
 protected:
  // Every log message so far, without its time stamp.
  std::vector<std::string> LogMessages() { return ReadLogMessages(dir_.path()); }

  int CountLog(const std::string& needle) {
    int count = 0;
    for (const auto& m : LogMessages()) count += m.find(needle) != std::string::npos;
    return count;
  }

  std::vector<std::string> AsideFiles(const std::string& base) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename();
      if (name.rfind(base + ".corrupt-", 0) == 0) names.push_back(name);
    }
    return names;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream data;
    data << file.rdbuf();
    return data.str();
  }

  TempWorkingDir dir_{"np-spool"};
};

TEST_F(SpoolTest, EventsComeBackOldestFirstWithKeyAndTimeAfterReopen) {
  {
    Spool spool("spool.db", 10);
    ASSERT_TRUE(spool.Add("door=1", 1000).ok());
    ASSERT_TRUE(spool.Add("door=2", 2000).ok());
    ASSERT_TRUE(spool.Add("door=3", 3000).ok());
  }
  Spool spool("spool.db", 10);
  EXPECT_EQ(spool.Count(), 3u);
  SpooledEvent first;
  ASSERT_TRUE(spool.Oldest(&first));
  EXPECT_EQ(first.payload, "door=1");
  EXPECT_EQ(first.received_ms, 1000);
  SpooledEvent again;
  ASSERT_TRUE(spool.Oldest(&again));
  EXPECT_EQ(again.key, first.key) << "a retried event must keep its key";

  ASSERT_TRUE(spool.Remove(first.id).ok());
  SpooledEvent second;
  ASSERT_TRUE(spool.Oldest(&second));
  EXPECT_EQ(second.payload, "door=2");
  EXPECT_NE(second.key, first.key);
  ASSERT_TRUE(spool.Remove(second.id).ok());
  SpooledEvent third;
  ASSERT_TRUE(spool.Oldest(&third));
  EXPECT_EQ(third.payload, "door=3");
  ASSERT_TRUE(spool.Remove(third.id).ok());
  EXPECT_FALSE(spool.Oldest(&third));
  EXPECT_EQ(spool.Count(), 0u);
}

TEST_F(SpoolTest, FullSpoolDropsTheOldestAndStaysAtTheBound) {
  Spool spool("spool.db", 3);
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(spool.Add("n=" + std::to_string(i), i).ok());
  EXPECT_EQ(spool.Count(), 3u);
  EXPECT_EQ(CountLog("Spool full: dropped the oldest event"), 2);
  std::vector<std::string> left;
  SpooledEvent event;
  while (spool.Oldest(&event)) {
    left.push_back(event.payload);
    ASSERT_TRUE(spool.Remove(event.id).ok());
  }
  EXPECT_EQ(left, (std::vector<std::string>{"n=3", "n=4", "n=5"}));
}

TEST_F(SpoolTest, RemovingAnEventDroppedWhileInFlightKeepsTheNewOne) {
  // The sender holds the only event; the bound drops it for a new one. Its
  // removal afterwards must not hit the new event.
  Spool spool("spool.db", 1);
  ASSERT_TRUE(spool.Add("old=1", 1).ok());
  SpooledEvent in_flight;
  ASSERT_TRUE(spool.Oldest(&in_flight));
  ASSERT_TRUE(spool.Add("new=1", 2).ok());
  ASSERT_TRUE(spool.Remove(in_flight.id).ok());
  SpooledEvent left;
  ASSERT_TRUE(spool.Oldest(&left));
  EXPECT_EQ(left.payload, "new=1");
  EXPECT_EQ(spool.Count(), 1u);
}

TEST_F(SpoolTest, LoweredBoundTrimsTheOldestAtOpen) {
  {
    Spool spool("spool.db", 10);
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(spool.Add("n=" + std::to_string(i), i).ok());
  }
  Spool spool("spool.db", 2);
  EXPECT_EQ(spool.Count(), 2u);
  SpooledEvent event;
  ASSERT_TRUE(spool.Oldest(&event));
  EXPECT_EQ(event.payload, "n=4");
}

TEST_F(SpoolTest, GarbageFileIsMovedAsideAndANewSpoolStarts) {
  const std::string garbage(5000, 'x');
  std::ofstream("spool.db", std::ios::binary) << garbage;
  Spool spool("spool.db", 10);
  const auto aside = AsideFiles("spool.db");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(spool\.db\.corrupt-\d{8}-\d{6})")))
      << aside[0];
  EXPECT_EQ(ReadFile(aside[0]), garbage) << "the bad file is kept as it was";
  EXPECT_EQ(CountLog("Error: Spool spool.db unusable - file is not a database; moved aside as "
                     "spool.db.corrupt-"),
            1);
  EXPECT_TRUE(spool.Add("door=1", 1).ok());
  EXPECT_EQ(spool.Count(), 1u);
}

TEST_F(SpoolTest, SomebodyElsesDatabaseIsMovedAsideNotUsed) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open("spool.db", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE events (what TEXT); INSERT INTO events VALUES ('x')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Spool spool("spool.db", 10);
  EXPECT_EQ(AsideFiles("spool.db").size(), 1u);
  EXPECT_EQ(CountLog("not a spool"), 1);
  EXPECT_TRUE(spool.Add("door=1", 1).ok());
}

TEST_F(SpoolTest, DamagedPagesFailTheCheckAndAreMovedAside) {
  {
    Spool spool("spool.db", 1000);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(spool.Add(std::string(200, 'a' + i % 26), i).ok());
  }  // closing checkpoints the log into the file
  {
    // Scribble over the middle of the table's pages, leaving the header.
    std::fstream file("spool.db", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(3 * 4096 + 100);
    const std::string junk(4096 * 4, '\x5a');
    file.write(junk.data(), junk.size());
  }
  Spool spool("spool.db", 1000);
  EXPECT_EQ(AsideFiles("spool.db").size(), 1u);
  EXPECT_EQ(spool.Count(), 0u);
  EXPECT_TRUE(spool.Add("door=1", 1).ok());
}

TEST_F(SpoolTest, UnwritableFolderIsLoggedOncePerChangeAndRecovers) {
  Spool spool("missing/spool.db", 10);
  EXPECT_FALSE(spool.Add("door=1", 1).ok());
  EXPECT_FALSE(spool.Add("door=2", 2).ok());
  EXPECT_EQ(CountLog("Error: Spool missing/spool.db not writable - "), 1);
  ASSERT_EQ(mkdir("missing", 0755), 0);
  EXPECT_TRUE(spool.Add("door=3", 3).ok());
  EXPECT_TRUE(spool.Add("door=4", 4).ok());
  EXPECT_EQ(CountLog("Spool missing/spool.db writable again"), 1);
  EXPECT_EQ(spool.Count(), 2u);
  EXPECT_TRUE(AsideFiles("missing/spool.db").empty());
}

// Dead letters count toward the bound, and at the bound they go before any
// waiting event: a server that rejects much must not push the backlog out.
TEST_F(SpoolTest, DeadLettersCountTowardTheBoundGoFirstAndSurviveReopen) {
  {
    Spool spool("spool.db", 5);
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(spool.Add("n=" + std::to_string(i), i).ok());
    for (int i = 0; i < 3; ++i) {
      SpooledEvent event;
      ASSERT_TRUE(spool.Oldest(&event));
      ASSERT_TRUE(spool.MarkDead(event.id, 1000 + i).ok());
    }
    std::size_t dropped = 9;
    ASSERT_TRUE(spool.Add("n=6", 6, &dropped).ok());
    EXPECT_EQ(dropped, 0u) << "only a waiting event dropped counts as dropped";
    EXPECT_EQ(CountLog("Spool full: dropped the oldest dead letter"), 1);
    EXPECT_EQ(CountLog("Spool full: dropped the oldest event"), 0);
  }
  Spool spool("spool.db", 5);
  const SpoolCounts counts = spool.Counts();
  EXPECT_EQ(counts.waiting, 3u);
  EXPECT_EQ(counts.dead, 2u);
  EXPECT_EQ(counts.oldest_waiting_ms, 4);
  SpooledEvent next;
  ASSERT_TRUE(spool.Oldest(&next));
  EXPECT_EQ(next.payload, "n=4") << "a dead letter is never sent again by itself";

  std::unique_ptr<SpoolFile> file;
  ASSERT_TRUE(SpoolFile::Open("spool.db", SpoolAccess::kReadOnly, &file).ok());
  std::vector<SpooledEvent> dead;
  ASSERT_TRUE(file->List(SpoolList::kDead, 0, &dead).ok());
  ASSERT_EQ(dead.size(), 2u);
  EXPECT_EQ(dead[0].payload, "n=2");
  EXPECT_EQ(dead[1].payload, "n=3");
  EXPECT_EQ(dead[1].dead_ms, 1002);

  // Once no dead letter is left, the oldest waiting event goes.
  ASSERT_TRUE(spool.Add("n=7", 7).ok());
  ASSERT_TRUE(spool.Add("n=8", 8).ok());
  ASSERT_TRUE(spool.Add("n=9", 9).ok());
  EXPECT_EQ(spool.Counts().dead, 0u);
  ASSERT_TRUE(spool.Oldest(&next));
  EXPECT_EQ(next.payload, "n=5");
  EXPECT_EQ(CountLog("Spool full: dropped the oldest event"), 1);
}

// The operator's tool works on the file while the daemon has it open: the
// daemon's figures follow, and resent letters go out first, keys unchanged.
TEST_F(SpoolTest, SecondProcessResendsAndPurgesDeadLettersWhileTheDaemonRuns) {
  Spool spool("spool.db", 10);
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(spool.Add("n=" + std::to_string(i), i).ok());
  std::vector<std::string> keys;
  for (int i = 0; i < 2; ++i) {
    SpooledEvent event;
    ASSERT_TRUE(spool.Oldest(&event));
    keys.push_back(event.key);
    ASSERT_TRUE(spool.MarkDead(event.id, 100).ok());
  }
  std::unique_ptr<SpoolFile> file;
  ASSERT_TRUE(SpoolFile::Open("spool.db", SpoolAccess::kReadWrite, &file).ok());
  std::vector<SpooledEvent> waiting;
  ASSERT_TRUE(file->List(SpoolList::kWaiting, 1, &waiting).ok());
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0].payload, "n=3");

  std::size_t resent = 0;
  ASSERT_TRUE(file->ResendDead(&resent).ok());
  EXPECT_EQ(resent, 2u);
  EXPECT_EQ(spool.Counts().waiting, 4u);
  EXPECT_EQ(spool.Counts().dead, 0u);
  SpooledEvent first;
  ASSERT_TRUE(spool.Oldest(&first));
  EXPECT_EQ(first.payload, "n=1");
  EXPECT_EQ(first.key, keys[0]);
  // Marked, so that its delivery is counted as a dead letter's.
  EXPECT_TRUE(first.resent);

  ASSERT_TRUE(spool.MarkDead(first.id, 200).ok());
  std::size_t purged = 0;
  ASSERT_TRUE(file->PurgeDead(&purged).ok());
  EXPECT_EQ(purged, 1u);
  SpoolCounts counts;
  ASSERT_TRUE(file->Counts(&counts).ok());
  EXPECT_EQ(counts.waiting, 3u);
  EXPECT_EQ(counts.dead, 0u);
  EXPECT_EQ(counts.oldest_waiting_ms, 2);
  EXPECT_EQ(spool.Count(), 3u);
}

TEST_F(SpoolTest, SecondProcessNeverCreatesOrMovesAsideAFile) {
  std::unique_ptr<SpoolFile> file;
  EXPECT_FALSE(SpoolFile::Open("missing.db", SpoolAccess::kReadWrite, &file).ok());
  EXPECT_FALSE(std::filesystem::exists("missing.db"));
  std::ofstream("garbage.db", std::ios::binary) << std::string(5000, 'x');
  EXPECT_FALSE(SpoolFile::Open("garbage.db", SpoolAccess::kReadOnly, &file).ok());
  EXPECT_TRUE(AsideFiles("garbage.db").empty());
}

// A spool written before dead letters existed, or before resent ones were
// marked, keeps its events: the daemon upgrades it in place (never moves it
// aside as somebody else's), and a read-only look works on it as it is.
TEST_F(SpoolTest, SpoolFromBeforeDeadLettersKeepsItsEvents) {
  const char* kOlderLayouts[] = {"", ", dead_ms INTEGER"};
  for (const char* columns : kOlderLayouts) {
    SCOPED_TRACE(columns);
    std::filesystem::remove("spool.db");
    std::filesystem::remove("spool.db-wal");
    std::filesystem::remove("spool.db-shm");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open("spool.db", &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           ("PRAGMA journal_mode = WAL;"
                            "CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                            " key TEXT NOT NULL, received_ms INTEGER NOT NULL, payload BLOB NOT NULL" +
                            std::string(columns) + ");"
                            "INSERT INTO events (key, received_ms, payload) VALUES"
                            " ('k1', 1, 'n=1'), ('k2', 2, 'n=2')").c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
      std::unique_ptr<SpoolFile> file;
      ASSERT_TRUE(SpoolFile::Open("spool.db", SpoolAccess::kReadOnly, &file).ok());
      SpoolCounts counts;
      ASSERT_TRUE(file->Counts(&counts).ok());
      EXPECT_EQ(counts.waiting, 2u);
      std::vector<SpooledEvent> dead;
      ASSERT_TRUE(file->List(SpoolList::kDead, 0, &dead).ok());
      EXPECT_TRUE(dead.empty());
    }
    Spool spool("spool.db", 10);
    EXPECT_TRUE(AsideFiles("spool.db").empty());
    EXPECT_EQ(spool.Count(), 2u);
    SpooledEvent event;
    ASSERT_TRUE(spool.Oldest(&event));
    EXPECT_EQ(event.key, "k1");
    EXPECT_FALSE(event.resent);
    ASSERT_TRUE(spool.MarkDead(event.id, 5).ok());
    EXPECT_EQ(spool.Counts().dead, 1u);
  }
}

// An operator's figures must show what waits in the spool, or a backlog
// building up behind a dead server is invisible on the dashboard.
TEST_F(SpoolTest, AcceptedEventsShowAsWaitingInTheOperatorsFigures) {
  Spool spool("spool.db", 10);
  SerialLink link;
  SpoolSender sender(spool, ReportTarget(), link);
  sender.Accept({{"door=1", 1}, {"door=0", 2}});
  EXPECT_EQ(service_status().Snapshot().spool_waiting, 2);
}

TEST(EventKey, KeysAreDistinctVersion4Uuids) {
  const std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> keys;
  for (int i = 0; i < 2000; ++i) {
    std::string key;
    ASSERT_TRUE(NewEventKey(&key));
    ASSERT_TRUE(std::regex_match(key, shape)) << key;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 2000u);
}

TEST(EventTime, ReadingTimeIsRfc3339Utc) {
  EXPECT_EQ(Rfc3339Utc(1796731200000), "2026-12-08T12:00:00Z");
  EXPECT_EQ(Rfc3339Utc(1796731200999), "2026-12-08T12:00:00Z");
  EXPECT_EQ(Rfc3339Utc(0), "1970-01-01T00:00:00Z");
}

}  // namespace
