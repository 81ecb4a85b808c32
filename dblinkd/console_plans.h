// Every shape of query the console runs, once each and named, for checking that an
// engine's indexes serve them all. Each engine gives its own statement builders.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "console_data.h"
#include "plx/records.h"

namespace dblink {

// The newest entry a history text walk looks at, from the walk's end.
struct WalkEndEntry {
  std::string date, time;
  uint32_t rowId = 0;
};

// An engine's builders of the console's statements, of its own Query type.
template <class Query> struct ConsoleSql {
  Query (*Overview)(const Page&);
  Query (*Package)(uint32_t packageId);
  Query (*Counts)(uint32_t packageId);
  Query (*Targets)(uint32_t packageId);
  Query (*PackageStatus)(uint32_t packageId, const StatusFilter&, const Page&);
  Query (*NameStatus)(uint32_t ownKind, uint32_t otherKind, const std::string& name, const Page&);
  Query (*Totals)();
  Query (*History)(const HistoryQuery&, const Page&);
  bool (*WalksForText)(const HistoryQuery&);
  Query (*TextMatches)(const HistoryQuery&, uint32_t walk);
  Query (*WalkEnd)(const HistoryQuery&, uint32_t walk);
  Query (*TextWalk)(const HistoryQuery&, const WalkEndEntry&, const Page&);
};

template <class Query>
std::vector<std::pair<std::string, Query>> ConsoleQueryShapes(const ConsoleSql<Query>& sql, uint32_t textWalk) {
  Page page;
  std::vector<std::pair<std::string, Query>> all = {
      {"overview", sql.Overview(page)},
      {"package", sql.Package(1)},
      {"counts", sql.Counts(1)},
      {"targets", sql.Targets(1)},
      {"machine", sql.NameStatus(plx::kKindMachine, plx::kKindUser, "WS1", page)},
      {"user", sql.NameStatus(plx::kKindUser, plx::kKindMachine, "bob", page)},
      {"totals", sql.Totals()},
  };
  // Every filter of the package page and every combination of history fields.
  for (int status : {-1, int(plx::kStatusFailed), int(plx::kStatusCompleted)})
    for (uint32_t kind : {0u, uint32_t(plx::kKindMachine)})
      for (const char* name : {"", "WS"})
        all.push_back({"package-status " + std::to_string(status) + "/" + std::to_string(kind) + "/" + name,
                       sql.PackageStatus(1, StatusFilter{status, kind, name}, page)});
  for (int mask = 0; mask < 32; ++mask) {
    HistoryQuery hq;
    if (mask & 1) hq.machine = "WS1";
    if (mask & 2) hq.user = "bob";
    if (mask & 4) hq.packageId = 1;
    if (mask & 8) hq.text = "fail";
    if (mask & 16) hq.from = "20260101", hq.to = "20261231";
    all.push_back({"history " + std::to_string(mask), sql.History(hq, page)});
    if (sql.WalksForText(hq)) {
      all.push_back({"history text matches " + std::to_string(mask), sql.TextMatches(hq, textWalk)});
      all.push_back({"history walk end " + std::to_string(mask), sql.WalkEnd(hq, textWalk)});
      all.push_back({"history walk " + std::to_string(mask), sql.TextWalk(hq, WalkEndEntry{"20261201", "120000", 1}, page)});
    }
  }
  return all;
}

}  // namespace dblink
