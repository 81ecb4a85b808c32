// The console's reads and its re-offer on the PostgreSQL store.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "console_data.h"
#include "pg_conn.h"

namespace dblink {

class PgConsole : public ConsoleData {
 public:
  explicit PgConsole(PgPool& pool) : pool_(pool) {}

  // The console's schema objects beside the tables: per-package counts kept by triggers,
  // the indexes its queries search, and the history text search. Run inside the store's
  // schema transaction (the tables exist); idempotent, and fills the counts from the rows
  // already there when it creates them.
  static bool CreateSchema(PgConn& c, std::string& error);

  bool Overview(const Page& page, Paged<PackageCounts>& out) override;
  bool Package(uint32_t packageId, bool& found, PackageCounts& counts, std::vector<TargetView>& targets) override;
  bool PackageStatus(uint32_t packageId, const StatusFilter& filter, const Page& page,
                     Paged<StatusRowView>& out) override;
  bool MachineStatus(const std::string& machine, const Page& page, Paged<StatusRowView>& out) override;
  bool UserStatus(const std::string& user, const Page& page, Paged<StatusRowView>& out) override;
  bool History(const HistoryQuery& query, const Page& page, Paged<HistoryView>& out) override;
  bool Totals(StatusTotals& out) override;
  int32_t Reoffer(uint32_t recordId, const std::string& date, const std::string& time) override;

  // How many of the newest history entries a search by text alone walks before it asks the
  // text index instead; tests set it to take either way.
  static constexpr uint32_t kTextWalk = 1000;
  void SetTextWalk(uint32_t entries) { textWalk_.store(entries); }

  // The plan of every console statement: one text each, its name and then the plan's
  // lines, for checking that no query reads a whole big table.
  bool Plans(std::vector<std::string>& out);

 private:
  PgPool& pool_;
  std::atomic<uint32_t> textWalk_{kTextWalk};
};

}  // namespace dblink
