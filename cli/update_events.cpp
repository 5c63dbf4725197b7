#include "cli/update_events.h"

#include "cli/exit_codes.h"
#include "cli/json.h"

namespace cli {

namespace {

const char* const kKindNames[] = {"start", "unit", "status", "progress", "message", "outcome"};

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
  for (UpdateResult r : {UpdateResult::kSucceeded, UpdateResult::kFailed, UpdateResult::kNoResponse,
                         UpdateResult::kWrongResponse})
    if (name == ResultName(r)) {
      *result = r;
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

std::string ToJson(const UpdateEvent& event) {
  JsonObject json;
  json.Add("event", kKindNames[event.kind]).Add("unit", event.unit);
  switch (event.kind) {
    case UpdateEvent::kStart:
      json.Add("server_firmware", event.serverFirmware)
          .Add("server_ui", event.serverUi)
          .Add("factory_defaults", event.factoryDefaults);
      break;
    case UpdateEvent::kUnit:
      json.Add("in_bootloader", event.inBootloader);
      if (event.bootloaderVersion.empty())
        json.AddRaw("bootloader", "null");
      else
        json.Add("bootloader", event.bootloaderVersion);
      if (event.applicationVersion.empty())
        json.AddRaw("application", "null");
      else
        json.Add("application", event.applicationVersion);
      break;
    case UpdateEvent::kStatus:
      json.Add("step", event.step).Add("text", event.text);
      break;
    case UpdateEvent::kProgress: {
      const ProgressReading& p = event.progress;
      json.Add("position", p.position)
          .Add("total", p.total)
          .Add("percent", p.percent)
          .Add("bytes", p.bytes)
          .Add("total_bytes", p.totalBytes)
          .Add("bytes_per_second", p.bytesPerSecond)
          .Add("elapsed_ms", p.elapsedMs);
      if (p.remainingMs < 0)
        json.AddRaw("remaining_ms", "null");
      else
        json.Add("remaining_ms", p.remainingMs);
      break;
    }
    case UpdateEvent::kMessage:
      json.Add("caption", event.caption).Add("text", event.text);
      break;
    case UpdateEvent::kOutcome:
      json.Add("result", ResultName(event.result))
          .Add("exit_code", ExitCodeOf(event.result))
          .Add("text", event.text)
          .Add("elapsed_ms", event.elapsedMs);
      break;
  }
  return json.Text();
}

bool FromJson(const std::string& line, UpdateEvent* event) {
  JsonFields fields;
  if (!ParseFlatJson(line, &fields)) return false;
  const std::string kind = FieldText(fields, "event");
  int index = -1;
  for (int i = 0; i < 6; ++i)
    if (kind == kKindNames[i]) index = i;
  if (index < 0) return false;
  *event = UpdateEvent();
  event->kind = static_cast<UpdateEvent::Kind>(index);
  event->unit = FieldText(fields, "unit");
  auto flag = [&](const char* key) {
    auto it = fields.find(key);
    return it != fields.end() && !it->second.isString && it->second.text == "true";
  };
  switch (event->kind) {
    case UpdateEvent::kStart:
      event->serverFirmware = flag("server_firmware");
      event->serverUi = flag("server_ui");
      event->factoryDefaults = flag("factory_defaults");
      break;
    case UpdateEvent::kUnit:
      event->inBootloader = flag("in_bootloader");
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
  }
  return true;
}

}  // namespace cli
