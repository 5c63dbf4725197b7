// The records of a visit's rounds, which let the report be completed by
// the workers themselves when the process that ran the visit is gone (a
// closed terminal, a killed process): a unit being written is always
// finished, and what became of it must still reach the service record.
#include <algorithm>
#include <set>

#include "cli/exit_codes.h"
#include "cli/venue/report_files.h"
#include "cli/update_command.h"
#include "cli/venue/venue_update.h"

namespace cli {

namespace {

constexpr const char* kRecordPrefix = "unit-";
constexpr const char* kRecordSuffix = ".json";
// Left by a parent that the system ends before it could write the report:
// from then on the workers complete it, whether or not it is still there.
constexpr const char* kHandedOver = "handed-over";

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The index of a record file, or false for any other file.
bool RecordIndex(const std::string& name, size_t* index) {
  const std::string prefix = kRecordPrefix, suffix = kRecordSuffix;
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *index = static_cast<size_t>(std::stoul(digits));
  return true;
}

std::set<std::string> RecordsIn(const std::string& folder) {
  std::set<std::string> names;
  size_t index;
  for (const std::string& name : FilesIn(folder))
    if (RecordIndex(name, &index)) names.insert(name);
  return names;
}

bool HandedOver(const std::string& folder) {
  std::string text;
  return ReadWholeFile(folder + "/" + kHandedOver, &text);
}

// Writes the report from the head and the records in `folder`. Without a
// lock between the workers: whoever renames last may have read fewer
// records than another, so each merges again until the records it read
// are all there are.
void MergeIntoReport(const std::string& folder) {
  std::string error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::set<std::string> before = RecordsIn(folder);
    Json report;
    std::string reportPath;
    if (!MergeRoundRecords(folder, &report, &reportPath) || reportPath.empty()) return;
    if (!WriteFileAtomically(reportPath, JsonDocument(report), &error)) return;
    if (RecordsIn(folder) == before) return;
  }
}

bool Done(const Json& unit) {
  const std::string result = FieldText(unit, "result");
  return result == RoundResultName(RoundResult::kUpdated) || result == RoundResultName(RoundResult::kSkipped);
}

}  // namespace

std::string RecordName(size_t index) { return kRecordPrefix + std::to_string(index) + kRecordSuffix; }

bool MergeRoundRecords(const std::string& folder, Json* report, std::string* reportPath) {
  std::string text;
  Json head;
  if (!ReadWholeFile(folder + "/" + kRecordHead, &text) || !ParseJsonObject(text, &head)) return false;
  *reportPath = FieldText(head, "report_path");
  auto found = head.find("report");
  if (found == head.end() || !found->is_object()) return false;
  *report = *found;
  Json& units = (*report)["units"];
  if (!units.is_array()) return false;
  for (const std::string& name : RecordsIn(folder)) {
    size_t index;
    Json record;
    if (!RecordIndex(name, &index) || index >= units.size() || !ReadWholeFile(folder + "/" + name, &text) ||
        !ParseJsonObject(text, &record))
      continue;
    // What the worker said wins; what it did not learn the plan knew.
    for (auto it = record.begin(); it != record.end(); ++it)
      if (it.key() != "unit" && !it.value().is_null()) units[index][it.key()] = it.value();
  }
  std::vector<int> codes;
  for (const Json& unit : units) {
    const int code = static_cast<int>(FieldInt(unit, "exit_code", kExitFailed));
    codes.push_back(Done(unit) ? kExitSuccess : (code == kExitSuccess ? kExitFailed : code));
  }
  (*report)["ending"] = "completed by the workers after the updater ended";
  (*report)["interrupted"] = true;
  (*report)["exit_code"] = CombinedExitCode(codes);
  return true;
}

void RecordRound(const std::string& recordPath, const std::string& unit, const RoundReport& round) {
  std::string error;
  if (!WriteFileAtomically(recordPath, JsonLine(RoundJson(unit, round)) + "\n", &error)) return;
  const std::string folder = FolderOf(recordPath);
  std::string text;
  Json head;
  if (!ReadWholeFile(folder + "/" + kRecordHead, &text) || !ParseJsonObject(text, &head)) return;
  const unsigned long parent = static_cast<unsigned long>(FieldInt(head, "parent"));
  // A parent that is there writes the report itself, unless it handed it
  // over because the system is about to end it.
  if (ParentAlive(parent) && !HandedOver(folder)) return;
  MergeIntoReport(folder);
}

void HandOverRoundRecords(const std::string& folder) {
  // The mark before the merge: a worker that records after the mark sees
  // it and merges by itself, and one that recorded before it is in this
  // merge, so no round's outcome is left out.
  std::string error;
  if (!WriteFileAtomically(folder + "/" + kHandedOver, "", &error)) return;
  MergeIntoReport(folder);
}

}  // namespace cli
