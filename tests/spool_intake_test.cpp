// Events the spool cannot store wait in memory: none lost, none out of
// order, each with the key and reading time it was given when read, and
// stored (memory first, then newer) once the spool can write again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "SpoolIntake.h"
#include "log_reader.h"
#include "temp_cwd.h"

namespace {

int CountLog(const std::string& dir, const std::string& line) {
  int count = 0;
  for (const auto& m : ReadLogMessages(dir)) count += m == line;
  return count;
}

std::vector<LineEvent> Lines(int first, int count) {
  std::vector<LineEvent> lines;
  for (int n = first; n < first + count; ++n) lines.push_back({"n=" + std::to_string(n), n});
  return lines;
}

TEST(SpoolIntake, MemoryEventsAreStoredFirstInOrderWithTheirKeysOnceTheSpoolWorks) {
  TempWorkingDir dir("np-intake");
  Spool spool("missing/spool.db", 100);
  SpoolIntake intake(spool);
  EXPECT_EQ(intake.Take(Lines(1, 2)), 0u);
  EXPECT_EQ(intake.Take(Lines(3, 1)), 0u);
  EXPECT_EQ(intake.InMemory(), 3u);
  EXPECT_EQ(CountLog(dir.path(), "Error: Spool cannot store events - keeping them in memory"), 1);

  // The sender posts from memory meanwhile; the head is not stored under it.
  SpooledEvent posted;
  bool from_memory = false;
  ASSERT_TRUE(intake.Next(&posted, &from_memory));
  EXPECT_TRUE(from_memory);
  EXPECT_EQ(posted.payload, "n=1");
  EXPECT_EQ(posted.received_ms, 1);
  ASSERT_EQ(mkdir("missing", 0755), 0);
  intake.Take(Lines(4, 1));
  EXPECT_EQ(spool.Count(), 0u) << "nothing goes ahead of the event in flight";
  intake.Finish(posted.key, false);  // not taken: it stays first

  intake.Take(Lines(5, 1));
  EXPECT_EQ(intake.InMemory(), 0u);
  std::vector<std::string> order;
  SpooledEvent event;
  bool first = true;
  while (intake.Next(&event, &from_memory)) {
    EXPECT_FALSE(from_memory);
    if (first) {
      EXPECT_EQ(event.key, posted.key) << "a memory event keeps its key";
    }
    first = false;
    order.push_back(event.payload + "@" + std::to_string(event.received_ms));
    ASSERT_TRUE(spool.Remove(event.id).ok());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"n=1@1", "n=2@2", "n=3@3", "n=4@4", "n=5@5"}));
}

TEST(SpoolIntake, FullMemoryQueueDropsItsOldest) {
  TempWorkingDir dir("np-intake");
  Spool spool("missing/spool.db", 100);
  SpoolIntake intake(spool);
  EXPECT_EQ(intake.Take(Lines(0, kMaxMemoryEvents + 2)), 2u);
  EXPECT_EQ(CountLog(dir.path(), "Memory queue full: dropped the oldest event"), 2);
  SpooledEvent event;
  bool from_memory = false;
  ASSERT_TRUE(intake.Next(&event, &from_memory));
  EXPECT_EQ(event.payload, "n=2");
  intake.Finish(event.key, true);
  EXPECT_EQ(intake.InMemory(), kMaxMemoryEvents - 1);
}

}  // namespace
