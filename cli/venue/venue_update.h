// update --all: every network unit of a venue in one command. Find the
// units, plan what to do with each, put the ones that run their application
// into bootload mode, update them side by side, let them start their new
// firmware and report what became of each.
//
// The work on each unit (its "round") runs in a worker process of its own,
// as a parallel update does: the update, exit and query workers keep their
// state in process-wide globals.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/json.h"
#include "cli/unit_target.h"
#include "cli/unit_update.h"
#include "cli/workers/update_runner.h"
#include "cli/workers/update_events.h"

namespace cli {

struct VenueRequest {
  uint32_t seconds = 6;                // discovery time
  std::vector<UnitTarget> namedUnits;  // --ip, added to the ones found
  UpdateChoices choices;
  bool skipCurrent = false;
  bool dryRun = false;
  bool stayInBootload = false;
  bool yes = false;
  bool json = false;
  std::string reportPath;
  size_t jobs = 64;  // workers at once
  // The arguments of every worker, before its own ones: the parser port
  // and, for the rounds, the overwrite choices.
  std::vector<std::string> queryArguments;
  std::vector<std::string> roundArguments;
};

// The arguments of the venue's workers before the unit's own: a query for
// the plan, and a round with the overwrite choices.
std::vector<std::string> VenueQueryArguments(unsigned parserPort);
std::vector<std::string> VenueRoundArguments(unsigned parserPort, const UpdateChoices& choices);

// update --all on the terminal: find, plan, confirm, read the PIN, run
// the rounds, show the summary and write the report. Its exit code.
int RunVenueUpdate(const VenueRequest& request);

// ---- the plan ----

enum class PlanAction { kUpdate, kEnterThenUpdate, kSkip, kCannot };
const char* PlanActionName(PlanAction action);  // "update", "enter-then-update", "skip", "cannot"

// A unit of the venue: where it is reached, and its hardware address when
// the search heard it (empty for a unit only named with --ip).
struct VenueUnit {
  UnitTarget target;
  std::string mac;
  bool named = false;  // named with --ip: its port is the one given
};

struct PlanEntry {
  UnitTarget target;
  std::string mac;
  std::string mode;                                   // "bootload", "application" or "unknown"
  std::string bootloaderVersion, applicationVersion;  // empty: not known
  PlanAction action = PlanAction::kCannot;
  std::string why;   // for kCannot: why not
  int exitCode = 0;  // for kCannot: the exit code of the reason
};

// What to do with a unit, from its query's JSON line (empty when the query
// gave none). `current` is the package's application version ("1.8").
PlanEntry PlanUnit(const UnitTarget& target, const Json& query, bool skipCurrent, const std::string& current);
// The package's application version as the units report theirs: "V1.8"
// gives "1.8"; empty when it does not read as a version.
std::string PackageApplicationVersion(const std::string& serverFirmwareVersion);

// What is planned for a unit ("update", "skip (current)", "cannot: no
// answer"...) and what became of it ("succeeded", "FAILED at update"...).
std::string PlanActionText(const PlanEntry& entry, bool skipCurrent);
std::string RoundResultText(const RoundReport& round);
// The plan table and the summary table, as a person reads them.
std::string PlanTable(const std::vector<PlanEntry>& plan, bool skipCurrent);
std::string SummaryTable(const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds);
// One unit in the summary line and in the report.
Json UnitSummaryJson(const PlanEntry& plan, const RoundReport& round);
// 0 when every unit was updated or skipped; else the code the failures
// share, or 1 when they differ.
int VenueExitCode(const std::vector<RoundReport>& rounds);

// What a round whose worker sent no report of its own came to, from how
// the worker ended, the last stage it had begun and whether it had begun to
// write the unit.
void NoteLostRound(UpdateRunner::Ending ending, int exitCode, const std::string& problem, const std::string& stage,
                   bool writing, RoundReport* round);

// ---- the steps of a visit, for the terminal and the venue window ----

// What shows a visit as it goes and tells it to stop. The terminal's view
// is update --all's; the venue window has its own. Called on the thread
// that runs the steps.
class VenueView {
 public:
  virtual ~VenueView() = default;
  // Something the person must be told: a problem of the search, a worker
  // that could not start.
  virtual void Notice(const std::string& text) = 0;
  // The search has found `count` units so far.
  virtual void Found(size_t count) { (void)count; }
  // Times a stop was asked for so far (0: none).
  virtual int StopRequests() const = 0;
  // A flag that becomes non-zero at the first stop request, for the search
  // to look at; none: the search runs its time.
  virtual const std::atomic<int>* StopFlag() const { return nullptr; }
  // Shows the rounds of the units labelled here by their plan index.
  virtual RunnerView& RoundsView(const std::vector<std::string>& labels) = 0;
  // The first unit to be given the installer PIN refused it: appends
  // another PIN line (four digits, a line end) to try, or gives false.
  virtual bool AskPinAgain(const std::string& unit, std::string* pinLine) = 0;
};

// The search: every unit that answers (told apart by MAC address), and
// the units named in the request, in address order.
std::vector<VenueUnit> FindVenueUnits(const VenueRequest& request, VenueView& view);
// Every unit's query, side by side, and what to do with each. A stop
// leaves the queries not yet answered unanswered.
std::vector<PlanEntry> MakeVenuePlan(const VenueRequest& request, const std::vector<VenueUnit>& units, VenueView& view);
// The rounds of the `chosen` units of the plan, side by side (at most
// request.jobs at once); their reports come back in `rounds`. Units that
// run their application get the PIN line, tried on one of them first:
// only once that unit has taken it do the others get it. The PIN line is
// wiped. `recordFolder`, when not empty, keeps each round's record (see
// RecordRound). Returns, per unit, whether its worker's own round event
// was shown.
std::vector<bool> RunVenueRounds(const VenueRequest& request, const std::vector<PlanEntry>& plan,
                                 const std::vector<bool>& chosen, std::string& pinLine, const std::string& recordFolder,
                                 VenueView& view, std::vector<RoundReport>& rounds);
// The rounds as the plan leaves them before any is run: a unit that cannot
// be updated has failed at the plan, the others say `notReached`.
std::vector<RoundReport> RoundsAsPlanned(const std::vector<PlanEntry>& plan, const std::string& notReached);
// Fills in, after the rounds, what the workers did not learn and the plan knew.
void CompleteRounds(const std::vector<PlanEntry>& plan, std::vector<RoundReport>* rounds);
// "N updated, M skipped, K failed"; a unit not reached counts as failed.
std::string VenueTally(const std::vector<RoundReport>& rounds);
// The visit's report, as --report writes it. `started` is VisitStartTime()
// when the visit began; `stopped`: a stop was asked for.
std::string VisitStartTime();
Json VisitReportDocument(const VenueRequest& request, const std::string& started, const std::string& ending,
                         bool stopped, const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds,
                         int exitCode);

// ---- one unit's round, in a worker process ----

struct RoundRequest {
  UnitTarget target;
  std::string mac;  // the unit's hardware address, to find it again if its restart moves it; may be empty
  UpdateChoices choices;
  bool enter = false;   // it runs its application: enter bootload mode first (the PIN on standard input)
  bool check = false;   // after entering, leave the update out when the application is current
  bool update = false;  // write the package
  bool leave = false;   // start the application at the end, and confirm that it runs
};

// "enter,check,update,leave" and any part of it. False for anything else.
bool ParseRoundSteps(const std::string& steps, RoundRequest* request);
std::string RoundSteps(const RoundRequest& request);

// Writes the round's events as JSON lines, the round's report last, and
// returns its exit code. With `recordPath`, the round's report also goes to
// that file, in the folder of the visit's records (see MergeRoundRecords).
int RunVenueRound(const RoundRequest& request, const std::string& recordPath);

// ---- the records that outlive the parent ----

// The file of unit `index`'s record in the folder of the visit's records,
// and the report as it stood when the rounds began.
std::string RecordName(size_t index);
constexpr const char* kRecordHead = "head.json";
// Writes one round's record and, when the process that ran the visit is no
// longer there to do it, merges every record present into its report.
// Any worker may finish last, so each one that finds the parent gone
// merges, and merges again if a record came in meanwhile.
void RecordRound(const std::string& recordPath, const std::string& unit, const RoundReport& round);
// The report of the head in `folder` with the records found there; false
// when there is no head.
bool MergeRoundRecords(const std::string& folder, Json* report, std::string* reportPath);
// For a parent that the system is about to end before its rounds are
// done: writes the report from the records there are, and from now on
// every worker that finishes merges its record into it as if the parent
// were gone.
void HandOverRoundRecords(const std::string& folder);

}  // namespace cli
