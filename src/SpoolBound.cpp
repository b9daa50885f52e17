#include "SpoolBound.h"

#include <sqlite3.h>

#include "EventLog.h"

int DropOldestSpooled(sqlite3* db, const SpoolStatements& st, std::size_t excess,
                      std::size_t dead, std::size_t* dropped_dead, std::size_t* dropped) {
  *dropped_dead = 0;
  *dropped = 0;
  const std::size_t first = excess < dead ? excess : dead;
  struct {
    sqlite3_stmt* statement;
    std::size_t count;
    std::size_t* out;
  } steps[] = {{st.drop_oldest_dead, first, dropped_dead},
               {st.drop_oldest, excess - first, dropped}};
  for (const auto& step : steps) {
    if (step.count == 0) continue;
    sqlite3_bind_int64(step.statement, 1, static_cast<sqlite3_int64>(step.count));
    const int rc = sqlite3_step(step.statement);
    sqlite3_reset(step.statement);
    if (rc != SQLITE_DONE) return rc;
    *step.out = static_cast<std::size_t>(sqlite3_changes(db));
  }
  return SQLITE_OK;
}

void LogSpoolDrops(std::size_t dropped_dead, std::size_t dropped) {
  for (std::size_t i = 0; i < dropped_dead; ++i) LogLine("Spool full: dropped the oldest dead letter");
  for (std::size_t i = 0; i < dropped; ++i) LogLine("Spool full: dropped the oldest event");
}
