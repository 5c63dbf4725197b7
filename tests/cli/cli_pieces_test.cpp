// The terminal tool's own pieces: the JSON of its event lines, the progress
// meter, what the progress view writes, the unit addresses it accepts and
// the console window that takes the workers' messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "cli/console_window.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/terminal/progress_meter.h"
#include "cli/terminal/progress_view.h"
#include "cli/text.h"
#include "cli/unit_target.h"
#include "cli/update_command.h"
#include "cli/workers/update_events.h"
#include "cli/venue/report_files.h"
#include "cli/workers/worker_pool.h"
#include "cli/venue/venue_update.h"
#include "venue_window/venue_table.h"
#include "platform/platform.h"

namespace cli {
namespace {

// ------------------------------------------------------------------ JSON ----

TEST(JsonLines, TextsWithQuotesControlsAndNonAsciiSurviveTheRoundTrip) {
  const std::string tricky = "say \"hi\"\\ \n\t\x01 \xC3\xA9 \xF0\x9F\x94\x8A end";
  const std::string line = JsonLine(Json{{"text", tricky}, {"n", -12}, {"ok", true}});
  EXPECT_EQ(line.find('\n'), std::string::npos) << "one event, one line";
  Json fields;
  ASSERT_TRUE(ParseJsonObject(line, &fields)) << line;
  EXPECT_EQ(FieldText(fields, "text"), tricky);
  EXPECT_EQ(FieldInt(fields, "n"), -12);
  EXPECT_TRUE(FieldFlag(fields, "ok"));
}

TEST(JsonLines, BytesThatAreNotUtf8AreReplacedNotFatal) {
  // A unit's text may hold any byte; the line must still go out, and parse.
  const std::string line = JsonLine(Json{{"text", std::string("ab\xFF\xC3(cd")}});
  Json fields;
  ASSERT_TRUE(ParseJsonObject(line, &fields)) << line;
  EXPECT_EQ(FieldText(fields, "text"), "ab\xEF\xBF\xBD\xEF\xBF\xBD(cd");
}

TEST(JsonLines, FiguresKeepOneDecimalAndNonFiniteOnesBecomeNull) {
  EXPECT_EQ(JsonLine(Json{{"a", OneDecimal(100.0)}, {"b", OneDecimal(33.333)}, {"c", OneDecimal(1.0 / 0.0)}}),
            R"({"a":100.0,"b":33.3,"c":null})");
  EXPECT_EQ(JsonLine(Json{{"v", TextOrNull("")}, {"w", TextOrNull("1.8")}}), R"({"v":null,"w":"1.8"})");
}

TEST(JsonLines, WholeNumbersOutsideTheirRangeGiveTheFallback) {
  Json fields;
  ASSERT_TRUE(ParseJsonObject(R"({"big":1e300,"nan":-1e19,"huge":18446744073709551615,"ok":12.9})", &fields));
  EXPECT_EQ(FieldInt(fields, "big", 5), 5);
  EXPECT_EQ(FieldInt(fields, "nan", 5), 5);
  EXPECT_EQ(FieldInt(fields, "huge", 5), 5);
  EXPECT_EQ(FieldInt(fields, "ok", 5), 12);
}

TEST(JsonLines, ReaderTakesEscapesAndRefusesWhatIsNotAnObject) {
  Json fields;
  ASSERT_TRUE(ParseJsonObject(R"( {"a":"\u00e9\ud83d\udd0a\/","b":1.5e2,"c":null} )", &fields));
  EXPECT_EQ(FieldText(fields, "a"), "\xC3\xA9\xF0\x9F\x94\x8A/");
  EXPECT_DOUBLE_EQ(FieldDouble(fields, "b"), 150.0);
  EXPECT_EQ(FieldInt(fields, "c", 7), 7);
  EXPECT_EQ(FieldText(fields, "b", "none"), "none") << "a number is not a text";
  for (const char* bad : {"", "{", R"({"a":1} x)", R"([1])", R"("a")", R"({"a":"\q"})", R"({"a":01x})", R"({a:1})",
                          "{\"a\":\"line\nbreak\"}"})
    EXPECT_FALSE(ParseJsonObject(bad, &fields)) << bad;
}

TEST(JsonLines, EveryEventKindComesBackAsItWasSent) {
  UpdateEvent progress;
  progress.kind = UpdateEvent::kProgress;
  progress.unit = "10.0.0.5";
  progress.progress = {120, 266278, 45.25, 275000, 610094, 81234.5, 3400, 4100};
  UpdateEvent back;
  ASSERT_TRUE(FromJson(ToJson(progress), &back));
  EXPECT_EQ(back.kind, UpdateEvent::kProgress);
  EXPECT_EQ(back.unit, "10.0.0.5");
  EXPECT_EQ(back.progress.position, 120u);
  EXPECT_EQ(back.progress.total, 266278u);
  EXPECT_EQ(back.progress.bytes, 275000u);
  EXPECT_EQ(back.progress.totalBytes, 610094u);
  EXPECT_EQ(back.progress.elapsedMs, 3400);
  EXPECT_EQ(back.progress.remainingMs, 4100);

  progress.progress.remainingMs = -1;  // not known yet: null on the wire
  EXPECT_NE(ToJson(progress).find("\"remaining_ms\":null"), std::string::npos);
  ASSERT_TRUE(FromJson(ToJson(progress), &back));
  EXPECT_EQ(back.progress.remainingMs, -1);

  UpdateEvent outcome;
  outcome.kind = UpdateEvent::kOutcome;
  outcome.unit = "COM3";
  outcome.result = UpdateResult::kWrongResponse;
  outcome.text = "The unit answered, but not as a bootloader.\nCheck it.";
  outcome.elapsedMs = 5012;
  ASSERT_TRUE(FromJson(ToJson(outcome), &back));
  EXPECT_EQ(back.result, UpdateResult::kWrongResponse);
  EXPECT_EQ(back.text, outcome.text);
  EXPECT_EQ(back.elapsedMs, 5012);
  EXPECT_NE(ToJson(outcome).find("\"exit_code\":4"), std::string::npos);

  UpdateEvent unit;
  unit.kind = UpdateEvent::kUnit;
  unit.inBootloader = true;
  unit.bootloaderVersion = "3.1";
  ASSERT_TRUE(FromJson(ToJson(unit), &back));
  EXPECT_TRUE(back.inBootloader);
  EXPECT_EQ(back.bootloaderVersion, "3.1");
  EXPECT_EQ(back.applicationVersion, "");

  UpdateEvent round;
  round.kind = UpdateEvent::kRound;
  round.unit = "10.0.0.7";
  round.round.result = RoundResult::kFailed;
  round.round.failedStep = "enter bootload";
  round.round.exitCode = 1;
  round.round.applicationBefore = "1.2";
  round.round.modeAfter = "application";
  round.round.elapsedMs = 4200;
  round.round.text = "Unable to enter Bootload Mode.";
  ASSERT_TRUE(FromJson(ToJson(round), &back));
  EXPECT_EQ(back.kind, UpdateEvent::kRound);
  EXPECT_EQ(back.round.result, RoundResult::kFailed);
  EXPECT_EQ(back.round.failedStep, "enter bootload");
  EXPECT_EQ(back.round.applicationBefore, "1.2");
  EXPECT_EQ(back.round.applicationAfter, "");
  EXPECT_EQ(back.round.modeAfter, "application");
  EXPECT_EQ(back.round.elapsedMs, 4200);
  EXPECT_NE(ToJson(round).find(R"("application_after":null)"), std::string::npos);

  UpdateEvent stage;
  stage.kind = UpdateEvent::kStage;
  stage.step = "wait for bootloader";
  ASSERT_TRUE(FromJson(ToJson(stage), &back));
  EXPECT_EQ((std::make_pair(back.kind, back.step)), std::make_pair(UpdateEvent::kStage, stage.step));

  EXPECT_FALSE(FromJson(R"({"event":"round","unit":"x","result":"perhaps"})", &back));
  EXPECT_FALSE(FromJson(R"({"event":"outcome","unit":"x","result":"maybe"})", &back));
  EXPECT_FALSE(FromJson(R"({"event":"party"})", &back));
}

// ------------------------------------------------------------ the meter ----

ProgressPlan SmallPlan() {
  ProgressPlan plan;
  plan.recordBytes.assign(16, 21);  // two frames of eight records
  plan.flashBytes = 128;            // two blocks
  plan.factoryDefaults = true;
  return plan;
}

TEST(ProgressMeterTest, PositionsTurnIntoBytesStepByStep) {
  ProgressMeter meter(SmallPlan());
  ASSERT_EQ(meter.PlannedTotal(), 16u + 128u + 10u);
  meter.Start(meter.PlannedTotal(), 1000);
  EXPECT_EQ(meter.At(0, 1000).bytes, 0u);
  EXPECT_EQ(meter.At(8, 1100).bytes, 8u * 21);
  EXPECT_EQ(meter.At(16, 1200).bytes, 16u * 21);
  EXPECT_EQ(meter.At(16 + 64, 1300).bytes, 16u * 21 + 64);
  const ProgressReading end = meter.At(meter.PlannedTotal(), 1500);
  EXPECT_EQ(end.bytes, 16u * 21 + 128);
  EXPECT_EQ(end.totalBytes, 16u * 21 + 128);
  EXPECT_DOUBLE_EQ(end.percent, 100.0);
  EXPECT_EQ(end.remainingMs, 0);
  EXPECT_EQ(end.elapsedMs, 500);
}

TEST(ProgressMeterTest, PercentFollowsTheBytesNotTheMixedUnits) {
  ProgressMeter meter(SmallPlan());
  meter.Start(meter.PlannedTotal(), 0);
  // All records sent: 16 of 154 units, but 336 of 464 bytes.
  EXPECT_NEAR(meter.At(16, 100).percent, 100.0 * 336 / 464, 1e-9);
}

TEST(ProgressMeterTest, TimeLeftCountsTheFramesStillToGo) {
  ProgressMeter meter(SmallPlan());
  meter.Start(meter.PlannedTotal(), 0);
  EXPECT_EQ(meter.At(0, 0).remainingMs, -1) << "nothing delivered: no estimate";
  // One frame of five (2 record frames, 2 blocks, 1 defaults) took 1 s.
  EXPECT_EQ(meter.At(8, 1000).remainingMs, 4000);
  EXPECT_EQ(meter.At(16 + 64, 3000).remainingMs, 2000);
  EXPECT_DOUBLE_EQ(meter.At(8, 1000).bytesPerSecond, 168.0);
}

TEST(ProgressMeterTest, ARangeOtherThanPlannedFallsBackToTheShareOfIt) {
  ProgressMeter meter(SmallPlan());
  meter.Start(200, 0);
  const ProgressReading half = meter.At(100, 1000);
  EXPECT_DOUBLE_EQ(half.percent, 50.0);
  EXPECT_EQ(half.bytes, half.totalBytes / 2);
  EXPECT_EQ(half.remainingMs, 1000);
  EXPECT_EQ(meter.At(500, 1000).position, 200u) << "a position past the range is held at its end";
}

TEST(ProgressMeterTest, NothingChosenIsDoneAtOnce) {
  ProgressMeter meter{ProgressPlan()};
  meter.Start(0, 0);
  const ProgressReading reading = meter.At(0, 10);
  EXPECT_DOUBLE_EQ(reading.percent, 100.0);
  EXPECT_EQ(reading.remainingMs, 0);
}

// ------------------------------------------------------------- the view ----

UpdateEvent Progress(uint32_t position, uint32_t total, double percent, uint64_t bytes, uint64_t totalBytes) {
  UpdateEvent event;
  event.kind = UpdateEvent::kProgress;
  event.progress.position = position;
  event.progress.total = total;
  event.progress.percent = percent;
  event.progress.bytes = bytes;
  event.progress.totalBytes = totalBytes;
  event.progress.bytesPerSecond = 85300;
  event.progress.elapsedMs = 3000;
  event.progress.remainingMs = 7000;
  return event;
}

UpdateEvent Outcome(UpdateResult result, const std::string& text, int64_t elapsedMs) {
  UpdateEvent event;
  event.kind = UpdateEvent::kOutcome;
  event.result = result;
  event.text = text;
  event.elapsedMs = elapsedMs;
  return event;
}

UpdateEvent Status(const std::string& step) {
  UpdateEvent event;
  event.kind = UpdateEvent::kStatus;
  event.step = step;
  event.text = "Progress: " + step;
  return event;
}

TEST(ProgressViewTest, ABarLineShowsStepPercentBytesRateAndTimeLeftWithinTheWidth) {
  std::string out;
  ProgressView view(ProgressView::kBars, {"192.168.100.200"}, 100, [&](const std::string& t) { out += t; });
  view.Handle(0, Status("Server UI"), 1);
  view.Handle(0, Progress(50000, 266278, 45.0, 274500, 610094), 1000);
  const std::string line = view.BarLine(view.Unit(0));
  EXPECT_NE(line.find("192.168.100.200"), std::string::npos) << line;
  EXPECT_NE(line.find("Server UI"), std::string::npos) << line;
  EXPECT_NE(line.find(" 45.0%"), std::string::npos) << line;
  EXPECT_NE(line.find("274.5/610.1 kB"), std::string::npos) << line;
  EXPECT_NE(line.find("85.3 kB/s"), std::string::npos) << line;
  EXPECT_NE(line.find("0:07 left"), std::string::npos) << line;
  EXPECT_LT(line.size(), 100u);
  const size_t open = line.find('['), close = line.find(']');
  ASSERT_NE(close, std::string::npos);
  const std::string bar = line.substr(open + 1, close - open - 1);
  const size_t filled = std::count(bar.begin(), bar.end(), '#');
  EXPECT_EQ(filled, static_cast<size_t>(bar.size() * 0.45)) << bar;

  // At 80 columns the step gives way, the figures stay.
  ProgressView eighty(ProgressView::kBars, {"192.168.100.200"}, 80, [](const std::string&) {});
  eighty.Handle(0, Status("Server Application"), 1);
  eighty.Handle(0, Progress(50000, 266278, 45.0, 274500, 610094), 1000);
  const std::string short80 = eighty.BarLine(eighty.Unit(0));
  EXPECT_LT(short80.size(), 80u) << "a line that wrapped would break the redraw";
  EXPECT_EQ(short80.find("Server Application"), std::string::npos) << short80;
  EXPECT_NE(short80.find("274.5/610.1 kB 85.3 kB/s 0:07 left"), std::string::npos) << short80;

  ProgressView narrow(ProgressView::kBars, {"192.168.100.200"}, 40, [](const std::string&) {});
  narrow.Handle(0, Progress(50000, 266278, 45.0, 274500, 610094), 1000);
  EXPECT_LT(narrow.BarLine(narrow.Unit(0)).size(), 40u);
}

TEST(ProgressViewTest, BarsRedrawTheirBlockInPlaceAndNotesGoAboveIt) {
  std::string out;
  ProgressView view(ProgressView::kBars, {"a", "b", "c"}, 80, [&](const std::string& t) { out += t; });
  view.Handle(1, Status("Server Application"), 1);
  const size_t firstDraw = out.size();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << "one line per unit";
  out.clear();
  view.Handle(1, Progress(10, 100, 10, 10, 100), 5000);
  EXPECT_EQ(out.rfind("\x1b[3A", 0), 0u) << "back up over the three lines";
  out.clear();
  view.Handle(1, Progress(11, 100, 11, 11, 100), 5010);
  EXPECT_TRUE(out.empty()) << "redraws come at most ten times a second";
  view.Handle(2, Outcome(UpdateResult::kFailed, "The firmware update could not complete.", 900), 5020);
  EXPECT_NE(out.find("FAILED"), std::string::npos);
  EXPECT_NE(out.find("c: The firmware update could not complete.\n"), std::string::npos);
  EXPECT_GT(firstDraw, 0u);
}

// A runner's view gets ticks: a step that comes too soon after a draw waits
// for the interval, as figures do, and the next tick after it draws it.
TEST(ProgressViewTest, WithTicksANewStepWaitsForTheIntervalAndATickDrawsIt) {
  std::string out;
  ProgressView view(ProgressView::kBars, {"a", "b"}, 80, [&](const std::string& t) { out += t; });
  view.UseTicks();
  view.Handle(0, Status("Server Application"), 1000);
  EXPECT_NE(out.find("Server Application"), std::string::npos) << "the first draw comes at once";
  out.clear();
  view.Handle(1, Status("Server UI"), 1010);
  view.Tick(1050);
  EXPECT_TRUE(out.empty()) << "no redraw within a tenth of a second";
  view.Tick(1100);
  EXPECT_NE(out.find("Server UI"), std::string::npos);
  out.clear();
  view.Tick(1300);
  EXPECT_TRUE(out.empty()) << "nothing was left to draw";
}

TEST(ProgressViewTest, PlainLinesComeOncePerTenthAndEndWithTheOutcome) {
  std::string out;
  ProgressView view(ProgressView::kPlain, {"10.0.0.5"}, 80, [&](const std::string& t) { out += t; });
  view.Handle(0, Status("Server Application"), 0);
  for (int percent : {0, 3, 9, 10, 15, 19, 35, 100})
    view.Handle(0, Progress(percent, 100, percent, percent * 1000, 100000), 0);
  view.Handle(0, Outcome(UpdateResult::kSucceeded, "The firmware updated successfully.", 12400), 0);
  EXPECT_EQ(out,
            "10.0.0.5: Progress: Server Application\n"
            "10.0.0.5: 0% 0 B of 100.0 kB, 85.3 kB/s, 0:07 left\n"
            "10.0.0.5: 10% 10.0 kB of 100.0 kB, 85.3 kB/s, 0:07 left\n"
            "10.0.0.5: 30% 35.0 kB of 100.0 kB, 85.3 kB/s, 0:07 left\n"
            "10.0.0.5: 100% 100.0 kB of 100.0 kB, 85.3 kB/s\n"
            "10.0.0.5: succeeded: The firmware updated successfully. (0:12)\n");
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "no terminal control in a file";
}

TEST(ProgressViewTest, TheSummaryNamesEachUnitAndWhereAFailedOneStopped) {
  ProgressView view(ProgressView::kPlain, {"10.0.0.5", "10.0.0.6", "10.0.0.7"}, 80, [](const std::string&) {});
  view.Handle(0, Outcome(UpdateResult::kSucceeded, "The firmware updated successfully.", 9000), 0);
  view.Handle(1, Status("Server UI"), 0);
  view.Handle(1, Progress(30000, 266278, 64.4, 393000, 610094), 0);
  view.Handle(1, Outcome(UpdateResult::kFailed, "The firmware update could not complete.", 8000), 0);
  const std::string table = view.SummaryTable();
  EXPECT_NE(table.find("UNIT      RESULT"), std::string::npos) << table;
  EXPECT_NE(table.find("10.0.0.5  succeeded       0:09     The firmware updated successfully."), std::string::npos)
      << table;
  EXPECT_NE(table.find("10.0.0.6  FAILED          0:08     The firmware update could not complete. (stopped in "
                       "Server UI at 64%)"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("10.0.0.7  FAILED"), std::string::npos) << "a unit without an outcome did not succeed";
}

TEST(ExitCodes, SeveralUnitsShareAFailureCodeOrFallBackToFailed) {
  EXPECT_EQ(CombinedExitCode({0, 0, 0}), kExitSuccess);
  EXPECT_EQ(CombinedExitCode({0, 1, 0}), kExitFailed);
  EXPECT_EQ(CombinedExitCode({3, 3}), kExitNoResponse);
  EXPECT_EQ(CombinedExitCode({0, 0, 3}), kExitFailed) << "units updated and one silent: a mix, not 'no response'";
  EXPECT_EQ(CombinedExitCode({3, 4}), kExitFailed);
  EXPECT_EQ(CombinedExitCode({4}), kExitWrongResponse);
}

// ------------------------------------------------------ unit addresses ----

TEST(UnitTargets, AddressesAndPortsAreReadStrictly) {
  UnitTarget target;
  std::string error;
  ASSERT_TRUE(ParseNetworkTarget("10.0.0.5", &target, &error)) << error;
  EXPECT_EQ(DottedAddress(target.address), "10.0.0.5");
  EXPECT_EQ(target.bootloaderPort, 6234);
  EXPECT_EQ(target.label, "10.0.0.5");
  ASSERT_TRUE(ParseNetworkTarget("127.0.0.2:7000", &target, &error)) << error;
  EXPECT_EQ(target.bootloaderPort, 7000);
  EXPECT_EQ(target.label, "127.0.0.2:7000");
  for (const char* bad : {"", "10.0.0", "10.0.0.5.1", "256.0.0.1", "10.0.0.-1", "10..0.5", "10.0.0.5:", "10.0.0.5:0",
                          "10.0.0.5:65536", "10.0.0.5:12x", " 10.0.0.5", "0x0A.0.0.5", "1000.0.0.1"})
    EXPECT_FALSE(ParseNetworkTarget(bad, &target, &error)) << bad;
}

TEST(UnitTargets, AddressesThatReachManyHostsAreRefused) {
  const std::vector<platform::InterfaceAddress> rows = {
      {0x0100007F, 0x000000FF},  // 127.0.0.1/8
      {0x1400A8C0, 0x00FFFFFF},  // 192.168.0.20/24
  };
  platform::SetInterfaceTableForTesting(&rows);
  UnitTarget target;
  std::string error;
  for (const char* bad : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.255.255.250", "192.168.0.255"})
    EXPECT_FALSE(ParseNetworkTarget(bad, &target, &error)) << bad;
  EXPECT_NE(error.find("broadcast"), std::string::npos);
  EXPECT_TRUE(ParseNetworkTarget("192.168.1.255", &target, &error)) << "another subnet's host";
  EXPECT_TRUE(ParseNetworkTarget("192.168.0.21", &target, &error));
  platform::SetInterfaceTableForTesting(nullptr);
}

TEST(UnitTargets, SerialPortsResolveLinksAndRefuseNamesTheLinkCannotOpen) {
  UnitTarget target;
  std::string error;
  EXPECT_FALSE(ParseSerialTarget("/nonexistent/tty", &target, &error));
  ASSERT_TRUE(ParseSerialTarget("/dev/null", &target, &error)) << error;
  EXPECT_EQ(target.kind, UnitTarget::kSerial);
  EXPECT_EQ(Utf8(target.portName), "/dev/null");
  EXPECT_EQ(target.label, "/dev/null");

  // A USB adapter's name (/dev/ttyUSB0, twelve characters) must fit; one
  // longer than the link holds is refused, never cut to another port's name.
  char dir[] = "/tmp/tq-serial-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string usbLike = std::string(dir) + "/ttyUSB0";  // 29 characters
  const std::string tooLong = std::string(dir) + "/" + std::string(80, 'x');
  for (const std::string& path : {usbLike, tooLong}) std::fclose(std::fopen(path.c_str(), "w"));
  EXPECT_TRUE(ParseSerialTarget(usbLike, &target, &error)) << error;
  EXPECT_EQ(Utf8(target.portName), usbLike);
  EXPECT_FALSE(ParseSerialTarget(tooLong, &target, &error));
  EXPECT_NE(error.find("longer than"), std::string::npos) << error;
  for (const std::string& path : {usbLike, tooLong}) std::remove(path.c_str());
  rmdir(dir);
}

// --------------------------------------------------- the console window ----

class Collector : public MessageHandler {
 public:
  void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam) override {
    seen.push_back({message, static_cast<uint32_t>(wParam)});
    handledOnThread = std::this_thread::get_id();
  }
  void OnStatus(const std::wstring& text) override { statuses.push_back(text); }
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  std::vector<std::wstring> statuses;
  std::thread::id handledOnThread;
};

TEST(ConsoleWindowTest, MessagesFromAWorkerArriveInOrderOnTheLoopsThread) {
  LoadUiStrings(nullptr);
  Collector collector;
  ConsoleWindow window(collector);
  std::thread worker([&] {
    ReportStatus(window.Ref(), L"Initializing", true);
    ReportStatus(window.Ref(), L"Server UI", true);
    for (uint32_t i = 1; i <= 500; ++i) platform::PostWindowMessage(window.Ref(), UWM_PROGRESS_POSITION, i, 0);
    platform::PostWindowMessage(window.Ref(), UWM_UPDATE_SUCCEEDED, 0, 0);
  });
  ASSERT_TRUE(window.RunUntil(
      [&] { return !collector.seen.empty() && collector.seen.back().first == UWM_UPDATE_SUCCEEDED; }, 30000));
  worker.join();
  EXPECT_EQ(collector.handledOnThread, std::this_thread::get_id());
  ASSERT_EQ(collector.statuses.size(), 2u);
  EXPECT_EQ(collector.statuses[0], L"Progress: Initializing");
  EXPECT_EQ(collector.statuses[1], L"Progress: Server UI");
  // Positions still waiting may be folded into the newest one, but they
  // keep their order, the last one arrives, and nothing overtakes them.
  ASSERT_GE(collector.seen.size(), 2u);
  for (size_t i = 0; i + 1 < collector.seen.size(); ++i) {
    ASSERT_EQ(collector.seen[i].first, UWM_PROGRESS_POSITION);
    if (i > 0) {
      ASSERT_GT(collector.seen[i].second, collector.seen[i - 1].second);
    }
  }
  EXPECT_EQ(collector.seen[collector.seen.size() - 2].second, 500u);
}

TEST(ConsoleWindowTest, ALonePositionReachesTheWaitingLoop) {
  // The loop is already waiting when the position comes, and nothing else
  // follows it until the loop has shown it.
  struct Positions : MessageHandler {
    void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam) override {
      if (message == UWM_PROGRESS_POSITION) position = static_cast<uint32_t>(wParam);
      if (message == UWM_UPDATE_SUCCEEDED) done = true;
    }
    void OnStatus(const std::wstring&) override {}
    std::atomic<uint32_t> position{0};
    bool done = false;
  } handler;
  ConsoleWindow window(handler);
  std::atomic<bool> shown{false};
  std::thread worker([&] {
    platform::SleepMs(50);
    platform::PostWindowMessage(window.Ref(), UWM_PROGRESS_POSITION, 7, 0);
    for (int i = 0; i < 3000 && !shown; ++i) {
      shown = handler.position == 7;
      platform::SleepMs(10);
    }
    platform::PostWindowMessage(window.Ref(), UWM_UPDATE_SUCCEEDED, 0, 0);
  });
  EXPECT_TRUE(window.RunUntil([&] { return handler.done; }, 60000));
  worker.join();
  EXPECT_TRUE(shown) << "the position waited for the next message";
}

TEST(ConsoleWindowTest, ASendReturnsOnlyOnceTheLoopHasHandledIt) {
  Collector collector;
  ConsoleWindow window(collector);
  std::atomic<bool> returned{false};
  std::atomic<size_t> seenWhenReturned{0};
  std::thread worker([&] {
    platform::SendWindowMessage(window.Ref(), UWM_PROGRESS_RANGE, 0, 1234);
    seenWhenReturned = collector.seen.size();
    returned = true;
  });
  platform::SleepMs(100);
  EXPECT_FALSE(returned) << "the sender must wait for the window";
  window.RunUntil([&] { return !collector.seen.empty(); }, 30000);
  worker.join();
  EXPECT_EQ(seenWhenReturned, 1u);
  ASSERT_EQ(collector.seen.size(), 1u);
  EXPECT_EQ(collector.seen[0].first, UWM_PROGRESS_RANGE);
}

TEST(ConsoleWindowTest, RunForReturnsAfterItsTimeWithNothingToDo) {
  Collector collector;
  ConsoleWindow window(collector);
  EXPECT_FALSE(window.RunUntil([] { return false; }, 50));
  window.RunFor(0);
  EXPECT_TRUE(collector.seen.empty());
}

// ----------------------------------------------------------------- text ----

TEST(TextHelpers, WideAndUtf8ConvertBothWays) {
  const std::wstring wide = L"caf\u00e9 \u20ac";
  EXPECT_EQ(Utf8(wide), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(Wide(Utf8(wide)), wide);
  EXPECT_EQ(Wide("bad \xFF byte"), L"bad \uFFFD byte");
  EXPECT_EQ(Wide("cut \xE2\x82"), L"cut \uFFFD\uFFFD");
  EXPECT_EQ(DurationText(59499), "0:59");
  EXPECT_EQ(DurationText(3723000), "1:02:03");
  EXPECT_EQ(ByteCountText(999), "999 B");
  EXPECT_EQ(ByteCountText(610094), "610.1 kB");
  EXPECT_EQ(BootloaderVersionText(0x0301), "3.1");
  EXPECT_EQ(ApplicationVersionText(0x00020005), "2.5");
}

// ------------------------------------------------------- update --all ----

UnitTarget Target(const char* address) {
  UnitTarget target;
  std::string error;
  EXPECT_TRUE(ParseNetworkTarget(address, &target, &error)) << error;
  return target;
}

Json Query(const char* line) {
  Json query;
  EXPECT_TRUE(ParseJsonObject(line, &query)) << line;
  return query;
}

TEST(VenuePlan, EachQueryAnswerGetsItsAction) {
  struct Case {
    const char* query;
    bool skipCurrent;
    PlanAction action;
    const char* mode;
    int exitCode;
  } cases[] = {
      {R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.2"})", true,
       PlanAction::kUpdate, "bootload", 0},
      {R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.8"})", true,
       PlanAction::kSkip, "bootload", 0},
      {R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.8"})", false,
       PlanAction::kUpdate, "bootload", 0},
      {R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":null})", true,
       PlanAction::kUpdate, "bootload", 0},
      {R"({"bootloader_answered":true,"bootloader":"3.3","bootloader_accepted":false,"application":"1.8"})", true,
       PlanAction::kCannot, "bootload", 4},
      {R"({"bootloader_answered":false,"text_interface_answered":true,"bootload_mode":"off"})", true,
       PlanAction::kEnterThenUpdate, "application", 0},
      {R"({"bootloader_answered":false,"text_interface_answered":false,"bootload_mode":"unknown"})", true,
       PlanAction::kCannot, "unknown", 3},
      {"{}", false, PlanAction::kCannot, "unknown", 3},  // the query worker gave no line at all
  };
  for (const Case& c : cases) {
    const PlanEntry entry = PlanUnit(Target("10.0.0.5"), Query(c.query), c.skipCurrent, "1.8");
    EXPECT_EQ(entry.action, c.action) << c.query;
    EXPECT_EQ(entry.mode, c.mode) << c.query;
    EXPECT_EQ(entry.exitCode, c.exitCode) << c.query;
  }
  EXPECT_EQ(PackageApplicationVersion("V1.8"), "1.8");
  EXPECT_EQ(PackageApplicationVersion("V2.10"), "2.10");
  EXPECT_EQ(PackageApplicationVersion("1.8"), "") << "the update writes 1.1 for this; it is no version to match";
}

TEST(VenuePlan, RoundStepsTravelToTheWorkerAndBack) {
  RoundRequest round;
  round.enter = round.update = round.leave = true;
  EXPECT_EQ(RoundSteps(round), "enter,update,leave");
  RoundRequest back;
  ASSERT_TRUE(ParseRoundSteps("enter,check,update,leave", &back));
  EXPECT_TRUE(back.enter && back.check && back.update && back.leave);
  for (const char* bad : {"", "enter,", "update,format", "ENTER"}) {
    RoundRequest refused;
    EXPECT_FALSE(ParseRoundSteps(bad, &refused)) << bad;
  }
}

TEST(VenueReport, TablesAndExitCodeSayWhatBecameOfEachUnit) {
  std::vector<PlanEntry> plan = {
      PlanUnit(Target("10.0.0.5"), Query(R"({"bootloader_answered":false,"text_interface_answered":true})"), true,
               "1.8"),
      PlanUnit(
          Target("10.0.0.6"),
          Query(R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.8"})"),
          true, "1.8"),
      PlanUnit(Target("10.0.0.12:7000"), Query("{}"), true, "1.8"),
  };
  plan[0].mac = "02-54-51-0A-00-05";  // the others named with --ip alone
  const std::string planTable = PlanTable(plan, true);
  EXPECT_NE(planTable.find("10.0.0.5        02-54-51-0A-00-05  application  -           (not told)   enter bootload "
                           "mode, then update unless current"),
            std::string::npos)
      << planTable;
  EXPECT_NE(planTable.find("10.0.0.6        -                  bootload"), std::string::npos) << planTable;
  EXPECT_NE(planTable.find("skip (current)"), std::string::npos);
  EXPECT_NE(planTable.find("cannot: no answer"), std::string::npos);

  std::vector<RoundReport> rounds(3);
  rounds[0].result = RoundResult::kUpdated;
  rounds[0].exitCode = 0;
  rounds[0].bootloaderVersion = "3.1";
  rounds[0].applicationAfter = "1.8";
  rounds[0].modeAfter = "application";
  rounds[0].elapsedMs = 65000;
  rounds[1].result = RoundResult::kSkipped;
  rounds[1].exitCode = 0;
  rounds[2].result = RoundResult::kFailed;
  rounds[2].failedStep = "plan";
  rounds[2].exitCode = 3;
  rounds[2].modeAfter = "unknown";
  rounds[2].text = "no answer";
  const std::string summary = SummaryTable(plan, rounds);
  EXPECT_NE(summary.find("10.0.0.5        02-54-51-0A-00-05  3.1         -       1.8    succeeded          1:05  "
                         "application"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("FAILED at plan"), std::string::npos) << summary;

  EXPECT_EQ(VenueExitCode(rounds), 1) << "a unit updated and one silent is a mix";
  EXPECT_EQ(VenueExitCode({rounds[2], rounds[2]}), 3) << "the failures' own code when every unit failed alike";
  rounds[0].result = RoundResult::kFailed;
  rounds[0].exitCode = 1;
  EXPECT_EQ(VenueExitCode(rounds), 1) << "failures with different codes";
  rounds[0].result = RoundResult::kNotReached;
  rounds[0].exitCode = 0;  // a unit never reached is no success, whatever its code says
  rounds[2] = rounds[1];
  EXPECT_EQ(VenueExitCode(rounds), 1);
  rounds[0] = rounds[1];
  EXPECT_EQ(VenueExitCode(rounds), 0) << "skipped units count as done";

  const Json unit = UnitSummaryJson(plan[1], rounds[1]);
  EXPECT_EQ(FieldText(unit, "unit"), "10.0.0.6");
  EXPECT_EQ(FieldText(unit, "mode_before"), "bootload");
  EXPECT_EQ(FieldText(unit, "action"), "skip");
  EXPECT_EQ(FieldText(unit, "result"), "skipped");
}

// Workers queued with AddBetween alternate with the ones already waiting,
// whether they come before the pool runs or while it does. The workers are
// this test program, running no test; one at a time, so that the order in
// which they start is the order of their turns.
TEST(WorkerPoolTurns, WorkersAddedBetweenTakeEveryOtherTurn) {
  const std::vector<std::string> idle = {"--gtest_filter=-*"};
  struct Case {
    std::vector<size_t> plain;    // queued with Add before the run
    std::vector<size_t> between;  // queued with AddBetween: before the run, or once worker 0 has started
    bool duringRun;
    std::vector<size_t> turns;
  };
  const Case cases[] = {
      {{0, 1, 2}, {10, 11, 12, 13}, false, {0, 10, 1, 11, 2, 12, 13}},
      {{0, 1, 2, 3}, {10, 11}, true, {0, 1, 10, 2, 11, 3}},
      {{0}, {10, 11}, true, {0, 10, 11}},
  };
  for (const Case& c : cases) {
    WorkerPool pool(1);
    for (size_t index : c.plain) pool.Add(index, idle, std::string());
    if (!c.duringRun)
      for (size_t index : c.between) pool.AddBetween(index, idle, std::string());
    std::vector<size_t> turns;
    pool.Run([](size_t, const std::string&) {},
             [&](size_t index) {
               turns.push_back(index);
               if (c.duringRun && index == 0)
                 for (size_t added : c.between) pool.AddBetween(added, idle, std::string());
             },
             [](size_t index, const WorkerPool::End& end) { EXPECT_TRUE(end.started) << index << end.problem; });
    EXPECT_EQ(turns, c.turns);
  }
}

TEST(VenueReport, ARoundCutShortSaysWhereItLeftTheUnit) {
  using Ending = UpdateRunner::Ending;
  struct Case {
    Ending ending;
    std::string stage;
    bool writing;
    RoundResult result;
    std::string modeAfter, text;
  };
  const Case cases[] = {
      // The PIN went out: the unit restarts into its bootloader and stays there.
      {Ending::kStoppedBeforeWriting, "wait for bootloader", false, RoundResult::kNotReached, "bootload",
       "left in bootload mode"},
      {Ending::kStoppedBeforeWriting, "enter bootload", false, RoundResult::kNotReached, "unknown", "stopped"},
      {Ending::kStoppedBeforeWriting, "", false, RoundResult::kNotReached, "application", "stopped"},
      {Ending::kAbandonedWhileWriting, "update", true, RoundResult::kFailed, "bootload", "part-written"},
      {Ending::kEnded, "update", true, RoundResult::kFailed, "unknown", "without a report"},
  };
  for (const Case& c : cases) {
    RoundReport round;
    round.modeAfter = "application";  // as planned
    NoteLostRound(c.ending, 9, "", c.stage, c.writing, &round);
    EXPECT_EQ(round.result, c.result) << c.stage;
    EXPECT_EQ(round.modeAfter, c.modeAfter) << c.stage;
    EXPECT_NE(round.text.find(c.text), std::string::npos) << round.text;
    EXPECT_EQ(round.exitCode, kExitFailed);
  }
}

// The venue window's table: what each row shows from its plan to its round's
// end, what is checked, the order of a sorted column and the copied text.
TEST(VenueTable, RowsFollowThePlanTheEventsAndTheRounds) {
  const char* bootload =
      R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.2"})";
  const char* current =
      R"({"bootloader_answered":true,"bootloader":"3.1","bootloader_accepted":true,"application":"1.8"})";
  const char* application = R"({"bootloader_answered":false,"text_interface_answered":true})";
  std::vector<PlanEntry> plan = {PlanUnit(Target("10.0.0.9"), Query(bootload), true, "1.8"),
                                 PlanUnit(Target("10.0.0.10"), Query(current), true, "1.8"),
                                 PlanUnit(Target("10.0.0.11"), Query(application), true, "1.8"),
                                 PlanUnit(Target("10.0.0.12"), Query("{}"), true, "1.8")};
  venue::VenueTable table;
  table.SetPlan(plan, true);
  ASSERT_EQ(table.Size(), 4u);
  // Checked: the units to update; the current one is not; the silent one
  // has no check box and cannot be checked.
  EXPECT_EQ(table.CheckedRows(), (std::vector<bool>{true, false, true, false}));
  EXPECT_TRUE(table.CheckedNeedPin());
  EXPECT_FALSE(table.Checkable(3));
  table.SetChecked(3, true);
  EXPECT_FALSE(table.Checked(3));
  EXPECT_TRUE(table.Greyed(3));
  EXPECT_EQ(table.Cell(3, venue::kAction), "cannot: no answer");
  EXPECT_EQ(table.Cell(1, venue::kAction), "skip (current)");
  // Not skipping current units makes the current one an update, checked.
  table.SetSkipCurrent(false, "1.8");
  EXPECT_EQ(table.Cell(1, venue::kAction), "update");
  EXPECT_TRUE(table.Checked(1));
  table.SetSkipCurrent(true, "1.8");
  EXPECT_FALSE(table.Checked(1));

  // Rows sort by address as numbers, not as text.
  EXPECT_LT(table.Compare(0, 1, venue::kAddress), 0);

  table.BeginRounds(table.CheckedRows());
  EXPECT_EQ(table.Cell(0, venue::kStep), "waiting");
  UpdateEvent event;
  event.kind = UpdateEvent::kStart;
  table.Apply(0, event);
  EXPECT_TRUE(table.Writing(0));
  event.kind = UpdateEvent::kProgress;
  event.progress.percent = 41.7;
  EXPECT_TRUE(table.Apply(0, event));
  event.progress.percent = 41.9;  // the same whole percent: nothing to redraw
  EXPECT_FALSE(table.Apply(0, event));
  EXPECT_EQ(table.Cell(0, venue::kPercent), "41%");
  EXPECT_GT(table.Compare(0, 2, venue::kPercent), 0);

  RoundReport done;
  done.result = RoundResult::kUpdated;
  done.applicationAfter = "1.8";
  done.modeAfter = "application";
  table.EndRound(0, done);
  RoundReport failed;
  failed.result = RoundResult::kFailed;
  failed.failedStep = "update";
  failed.text = "no answer\tafter\nframe 3000";
  failed.modeAfter = "bootload";
  table.EndRound(2, failed);
  EXPECT_FALSE(table.Writing(0));
  EXPECT_FALSE(table.Retryable(0));
  EXPECT_TRUE(table.Retryable(2));
  size_t ended = 0, chosen = 0;
  table.RoundCounts(&ended, &chosen);
  EXPECT_EQ(ended, 2u);
  EXPECT_EQ(chosen, 2u);
  EXPECT_EQ(table.Cell(0, venue::kVersionNow), "1.8");
  EXPECT_EQ(table.Cell(2, venue::kNowIn), "bootload");

  // The report: the unchecked current unit was left alone (skipped), the
  // silent one failed at the plan.
  const std::vector<RoundReport> rounds = table.Rounds();
  EXPECT_EQ(rounds[1].result, RoundResult::kSkipped);
  EXPECT_EQ(rounds[1].text, "not checked: left alone");
  EXPECT_EQ(rounds[3].failedStep, "plan");
  EXPECT_EQ(VenueTally(rounds), "1 updated, 1 skipped, 2 failed");

  // The copied table: a heading, a line per row in the order given, tabs
  // only between cells, CRLF line ends.
  const std::string copied = table.TabSeparated({2, 0, 1, 3});
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = copied.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(copied.substr(at, end - at));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind("Address\tMAC\tMode", 0), 0u);
  EXPECT_EQ(lines[1].rfind("10.0.0.11\t", 0), 0u);
  for (const std::string& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 9) << line;
  EXPECT_NE(lines[1].find("FAILED at update: no answer after frame 3000"), std::string::npos);
}

// The records a visit's workers leave beside the report, for a parent that
// is there, one that handed the report over (the system ends it: its
// console window was closed) and one that is gone.
TEST(VenueRecords, TheReportHasEveryRecordWhoeverWritesIt) {
  char folderTemplate[] = "/tmp/tq-records.XXXXXX";
  ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
  const std::string folder = folderTemplate;
  const std::string reportPath = folder + "/visit.json";
  auto head = [&](unsigned long parent) {
    const Json units = Json::array({Json{{"unit", "10.0.0.5"}, {"result", "not-reached"}, {"mode_after", "bootload"}},
                                    Json{{"unit", "10.0.0.6"}, {"result", "not-reached"}, {"mode_after", "bootload"}}});
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(
        folder + "/" + kRecordHead,
        JsonDocument(Json{{"report_path", reportPath}, {"parent", parent}, {"report", Json{{"units", units}}}}),
        &error))
        << error;
  };
  RoundReport updated;
  updated.result = RoundResult::kUpdated;
  updated.exitCode = kExitSuccess;
  updated.modeAfter = "application";
  auto results = [&] {
    std::string text;
    Json report;
    if (!ReadWholeFile(reportPath, &text) || !ParseJsonObject(text, &report)) return std::string("no report");
    std::string out = FieldText(report, "ending") + ":";
    for (const Json& unit : report["units"]) out += " " + FieldText(unit, "result");
    return out;
  };
  const std::string byWorkers = "completed by the workers after the updater ended:";

  head(static_cast<unsigned long>(::getppid()));  // as a worker sees the process that started it
  RecordRound(folder + "/" + RecordName(0), "10.0.0.5", updated);
  EXPECT_EQ(results(), "no report") << "a parent that is there writes the report itself";

  HandOverRoundRecords(folder);
  EXPECT_EQ(results(), byWorkers + " succeeded not-reached") << "the hand-over writes the records there are";
  RecordRound(folder + "/" + RecordName(1), "10.0.0.6", updated);
  EXPECT_EQ(results(), byWorkers + " succeeded succeeded") << "after the hand-over, a worker merges by itself";

  for (const std::string& name : FilesIn(folder)) RemoveFile(folder + "/" + name);
  head(0);  // no such process
  RecordRound(folder + "/" + RecordName(1), "10.0.0.6", updated);
  EXPECT_EQ(results(), byWorkers + " not-reached succeeded") << "a parent that is gone leaves it to the workers";

  for (const std::string& name : FilesIn(folder)) RemoveFile(folder + "/" + name);
  RemoveFolder(folder);
}

}  // namespace
}  // namespace cli
