// The console's pages: plain functions from the console's records to HTML. Every text
// that came from the database is escaped here (workstations write those texts), and no
// page carries inline script or style, which the console's content policy forbids.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "console_data.h"

namespace dblink {

constexpr uint32_t kConsolePageRows = 50;

// --- small pure helpers -------------------------------------------------------------------

// Text for HTML content and quoted attributes: & < > " ' escaped; bytes that are not UTF-8
// read as Windows-1252 (workstations write in their code page); control characters and
// unassigned bytes shown as U+FFFD.
std::string Html(const std::string& text);
// Percent-encoding for a path segment or a query value.
std::string UrlPart(const std::string& text);
// application/x-www-form-urlencoded (a body or a query): names to values, the first value of
// a repeated name kept; '+' is a space, a bad escape is kept as written.
std::map<std::string, std::string> ParseForm(const std::string& text);
// "YYYY-MM-DD", a real calendar day, to "YYYYMMDD"; false otherwise.
bool ParseDay(const std::string& text, std::string& yyyymmdd);
// A 1-based page number from a query value; 1 when absent or not a number, capped so that
// an offset never overflows.
uint32_t PageNumber(const std::string& text);
// A decimal id; false when empty, not digits or past 32 bits.
bool ParseId(const std::string& text, uint32_t& id);
// "YYYYMMDD" + "HHMMSS" as "YYYY-MM-DD HH:MM:SS"; anything else as written.
std::string When(const std::string& date, const std::string& time);
// A package status as the console names it ("pending", "installed", ...).
const char* StatusText(uint16_t status);
const char* KindText(uint32_t kind);

// --- pages --------------------------------------------------------------------------------

// What every signed-in page needs: the session's CSRF token for its forms.
struct Frame {
  std::string csrf;
};

// A query parameter kept in pagination links.
using Params = std::vector<std::pair<std::string, std::string>>;

std::string SigninPage(const std::string& error);
std::string MessagePage(const Frame* frame, const std::string& title, const std::string& text);
std::string OverviewPage(const Frame& f, const Paged<PackageCounts>& rows, uint32_t page);

// The filter as typed, for the form and the pagination links.
struct PackageFilterForm {
  std::string status = "any", kind = "any", name;
};
std::string PackagePage(const Frame& f, const PackageCounts& p, const std::vector<TargetView>& targets,
                        const Paged<StatusRowView>& rows, const PackageFilterForm& filter, uint32_t page);

// A machine's or a user's page: its status rows and its history.
std::string SubjectPage(const Frame& f, uint32_t kind, const std::string& name, const Paged<StatusRowView>& rows,
                        uint32_t page, const Paged<HistoryView>& history, uint32_t hpage);

// The history search as typed; results null when there is nothing to show (with error set
// when the search was refused).
struct HistoryForm {
  std::string text, package, machine, user, from, to;
};
std::string HistoryPage(const Frame& f, const HistoryForm& form, const std::string& error,
                        const Paged<HistoryView>* results, uint32_t page);

// The confirmation before a status row goes back to pending.
struct ReofferView {
  uint32_t rowId = 0, packageId = 0, kind = 0;
  uint16_t status = 0;
  std::string packageName, target;
};
std::string ReofferPage(const Frame& f, const ReofferView& r);

}  // namespace dblink
