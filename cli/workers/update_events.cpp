#include "cli/workers/update_events.h"

#include "cli/exit_codes.h"
#include "cli/json.h"

namespace cli {

namespace {

const char* const kKindNames[] = {"start", "unit", "status", "progress", "message", "outcome", "stage", "round"};
constexpr int kKindCount = sizeof kKindNames / sizeof kKindNames[0];
// The same word as an update's outcome for a unit whose update succeeded.
const char* const kRoundResultNames[] = {"succeeded", "skipped", "failed", "not-reached"};

}  // namespace

const char* ResultName(UpdateResult result) {
  switch (result) {
    case UpdateResult::kSucceeded:
      return "succeeded";
    case UpdateResult::kFailed:
      return "failed";
    case UpdateResult::kNoResponse:
      return "no-response";
    case UpdateResult::kWrongResponse:
      return "wrong-response";
  }
  return "failed";
}

bool ResultFromName(const std::string& name, UpdateResult* result) {
  for (UpdateResult r :
       {UpdateResult::kSucceeded, UpdateResult::kFailed, UpdateResult::kNoResponse, UpdateResult::kWrongResponse})
    if (name == ResultName(r)) {
      *result = r;
      return true;
    }
  return false;
}

const char* RoundResultName(RoundResult result) { return kRoundResultNames[static_cast<int>(result)]; }

bool RoundResultFromName(const std::string& name, RoundResult* result) {
  for (int i = 0; i < 4; ++i)
    if (name == kRoundResultNames[i]) {
      *result = static_cast<RoundResult>(i);
      return true;
    }
  return false;
}

int ExitCodeOf(UpdateResult result) {
  switch (result) {
    case UpdateResult::kSucceeded:
      return kExitSuccess;
    case UpdateResult::kFailed:
      return kExitFailed;
    case UpdateResult::kNoResponse:
      return kExitNoResponse;
    case UpdateResult::kWrongResponse:
      return kExitWrongResponse;
  }
  return kExitFailed;
}

Json RoundJson(const std::string& unit, const RoundReport& round) {
  Json json;
  json["unit"] = unit;
  json["result"] = RoundResultName(round.result);
  json["failed_step"] = TextOrNull(round.failedStep);
  json["exit_code"] = round.exitCode;
  json["bootloader"] = TextOrNull(round.bootloaderVersion);
  json["application_before"] = TextOrNull(round.applicationBefore);
  json["application_after"] = TextOrNull(round.applicationAfter);
  json["mode_after"] = round.modeAfter.empty() ? std::string("unknown") : round.modeAfter;
  if (!round.movedTo.empty()) json["moved_to"] = round.movedTo;
  json["elapsed_ms"] = round.elapsedMs;
  json["text"] = round.text;
  return json;
}

bool RoundFromJson(const Json& json, RoundReport* round) {
  if (!RoundResultFromName(FieldText(json, "result"), &round->result)) return false;
  round->failedStep = FieldText(json, "failed_step");
  round->exitCode = static_cast<int>(FieldInt(json, "exit_code", kExitFailed));
  round->bootloaderVersion = FieldText(json, "bootloader");
  round->applicationBefore = FieldText(json, "application_before");
  round->applicationAfter = FieldText(json, "application_after");
  round->modeAfter = FieldText(json, "mode_after", "unknown");
  round->movedTo = FieldText(json, "moved_to");
  round->elapsedMs = FieldInt(json, "elapsed_ms");
  round->text = FieldText(json, "text");
  return true;
}

std::string ToJson(const UpdateEvent& event) {
  Json json;
  json["event"] = kKindNames[event.kind];
  json["unit"] = event.unit;
  switch (event.kind) {
    case UpdateEvent::kStart:
      json["server_firmware"] = event.serverFirmware;
      json["server_ui"] = event.serverUi;
      json["factory_defaults"] = event.factoryDefaults;
      break;
    case UpdateEvent::kUnit:
      json["in_bootloader"] = event.inBootloader;
      json["bootloader"] = TextOrNull(event.bootloaderVersion);
      json["application"] = TextOrNull(event.applicationVersion);
      break;
    case UpdateEvent::kStatus:
      json["step"] = event.step;
      json["text"] = event.text;
      break;
    case UpdateEvent::kProgress: {
      const ProgressReading& p = event.progress;
      json["position"] = p.position;
      json["total"] = p.total;
      json["percent"] = OneDecimal(p.percent);
      json["bytes"] = p.bytes;
      json["total_bytes"] = p.totalBytes;
      json["bytes_per_second"] = OneDecimal(p.bytesPerSecond);
      json["elapsed_ms"] = p.elapsedMs;
      json["remaining_ms"] = p.remainingMs < 0 ? Json() : Json(p.remainingMs);
      break;
    }
    case UpdateEvent::kMessage:
      json["caption"] = event.caption;
      json["text"] = event.text;
      break;
    case UpdateEvent::kOutcome:
      json["result"] = ResultName(event.result);
      json["exit_code"] = ExitCodeOf(event.result);
      json["text"] = event.text;
      json["elapsed_ms"] = event.elapsedMs;
      break;
    case UpdateEvent::kStage:
      json["stage"] = event.step;
      json["text"] = event.text;
      break;
    case UpdateEvent::kRound: {
      const Json round = RoundJson(event.unit, event.round);
      for (auto it = round.begin(); it != round.end(); ++it)
        if (it.key() != "unit") json[it.key()] = it.value();
      break;
    }
  }
  return JsonLine(json);
}

bool FromJson(const std::string& line, UpdateEvent* event) {
  Json fields;
  if (!ParseJsonObject(line, &fields)) return false;
  const std::string kind = FieldText(fields, "event");
  int index = -1;
  for (int i = 0; i < kKindCount; ++i)
    if (kind == kKindNames[i]) index = i;
  if (index < 0) return false;
  *event = UpdateEvent();
  event->kind = static_cast<UpdateEvent::Kind>(index);
  event->unit = FieldText(fields, "unit");
  switch (event->kind) {
    case UpdateEvent::kStart:
      event->serverFirmware = FieldFlag(fields, "server_firmware");
      event->serverUi = FieldFlag(fields, "server_ui");
      event->factoryDefaults = FieldFlag(fields, "factory_defaults");
      break;
    case UpdateEvent::kUnit:
      event->inBootloader = FieldFlag(fields, "in_bootloader");
      event->bootloaderVersion = FieldText(fields, "bootloader");
      event->applicationVersion = FieldText(fields, "application");
      break;
    case UpdateEvent::kStatus:
      event->step = FieldText(fields, "step");
      event->text = FieldText(fields, "text");
      break;
    case UpdateEvent::kProgress: {
      ProgressReading& p = event->progress;
      p.position = static_cast<uint32_t>(FieldInt(fields, "position"));
      p.total = static_cast<uint32_t>(FieldInt(fields, "total"));
      p.percent = FieldDouble(fields, "percent");
      p.bytes = static_cast<uint64_t>(FieldInt(fields, "bytes"));
      p.totalBytes = static_cast<uint64_t>(FieldInt(fields, "total_bytes"));
      p.bytesPerSecond = FieldDouble(fields, "bytes_per_second");
      p.elapsedMs = FieldInt(fields, "elapsed_ms");
      p.remainingMs = FieldInt(fields, "remaining_ms", -1);
      break;
    }
    case UpdateEvent::kMessage:
      event->caption = FieldText(fields, "caption");
      event->text = FieldText(fields, "text");
      break;
    case UpdateEvent::kOutcome:
      if (!ResultFromName(FieldText(fields, "result"), &event->result)) return false;
      event->text = FieldText(fields, "text");
      event->elapsedMs = FieldInt(fields, "elapsed_ms");
      break;
    case UpdateEvent::kStage:
      event->step = FieldText(fields, "stage");
      event->text = FieldText(fields, "text");
      break;
    case UpdateEvent::kRound:
      if (!RoundFromJson(fields, &event->round)) return false;
      break;
  }
  return true;
}

}  // namespace cli
