// tq35b_sim: one simulated TQ35B unit per process, for end-to-end tests,
// benchmarks and demonstrations. See --help.
#include <arpa/inet.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/announce.h"
#include "sim/hostile_peer.h"
#include "sim/text_parser.h"
#include "sim/simulated_unit.h"
#include "sim/unit_dump.h"

namespace {

const char kHelp[] =
    "usage: tq35b_sim [options]\n"
    "       tq35b_sim --verify-dump PATH [--package DIR] [--only program|flash]\n"
    "\n"
    "Plays a TQ35B unit's bootloader over UDP and over a pseudo-terminal until\n"
    "SIGTERM or SIGINT. When ready it prints one line:\n"
    "  ready udp=ADDRESS:PORT pty=PATH [slave=DEVICE]\n"
    "\n"
    "Lines:\n"
    "  --udp-port N          UDP bootloader port (default 6234; 0 any free port; -1 none)\n"
    "  --bind ADDRESS        address to listen on (default 127.0.0.1; never all addresses)\n"
    "  --pty-link PATH       also reach the pseudo-terminal through this symbolic link\n"
    "  --no-pty              no pseudo-terminal\n"
    "  --pace                serial bytes take their real time at the host's bit rate (8N1)\n"
    "  --pace-chunk N        with --pace, hand the host N bytes at a time (default: about\n"
    "                        1.5 ms of line time, at most 16; 1: each byte as it arrives)\n"
    "Unit:\n"
    "  --bootloader-version X.Y   version the bootloader reports (default 3.1)\n"
    "  --sequence | --no-sequence whether numbered frames are understood (default on)\n"
    "  --app-version X.Y|none     application version before any update (default none)\n"
    "  --identity TEXT            ReadIdentity text; \\r and \\n are understood\n"
    "                             (default \"TQ35B Bootloader\\r\\nV3.1\\r\\nVarno TQ35B - Bootload\\r\\n\")\n"
    "  --mode bootload|application  mode at start (default bootload)\n"
    "  --exit-silent              leave the bootloader without answering ExitBootloader\n"
    "  --dump PATH                write the dump after each EndUpdate and at exit\n"
    "  --log PATH                 write every frame as it arrived, before any fault, one\n"
    "                             line each: \"udp\" or \"serial\", then its bytes in hex\n"
    "Faults (rates are 0..1 or a percentage such as 5%; plain names act both ways,\n"
    "-in only on frames from the host, -out only on replies):\n"
    "  --seed N                   seed of the fault generators (default 1)\n"
    "  --drop RATE, --drop-in RATE, --drop-out RATE\n"
    "  --corrupt RATE, --corrupt-in RATE, --corrupt-out RATE   (one byte changed)\n"
    "  --duplicate RATE, --duplicate-in RATE, --duplicate-out RATE\n"
    "  --delay RATE[:MS], --delay-in RATE[:MS], --delay-out RATE[:MS]   (default 1500 ms)\n"
    "  --bootload-address ADDR    the bootloader listens, and discovery is answered in\n"
    "                             bootload mode, at ADDR instead (a unit whose address\n"
    "                             changes when it restarts into its bootloader)\n"
    "  --handling MS[:JITTER]     the unit takes MS (fractions allowed) over each frame,\n"
    "                             one frame at a time, plus up to JITTER ms more\n"
    "  --duplicate-frame N        frame N reaches the unit twice (frames as they arrive\n"
    "                             on the line, from 1, resends included)\n"
    "  --lose-frame N             frame N never reaches the unit\n"
    "  --repeat-reply N[:MS]      the answer to frame N goes out again MS later (2)\n"
    "  --status0-at N             the first status reply to frame N or later is 0\n"
    "  --silent-from N            frames N and later go unanswered (frames count from 1;\n"
    "                             0 means from the start)\n"
    "  --hostile MODE             break the rules on purpose: oversized (replies too long\n"
    "                             for any host), endless (bytes without end instead of\n"
    "                             replies), foreign (replies to other commands),\n"
    "                             wrong-sequence (numbered replies with the wrong number)\n"
    "Dumps:\n"
    "  --verify-dump PATH         compare a dump with the package; prints\n"
    "                             \"memory equals package\" (exit 0) or the first\n"
    "                             difference (exit 1); exit 2 if it cannot compare\n"
    "  --package DIR              package folder (application.hex, flash.bin) instead\n"
    "                             of the built-in package\n"
    "  --only program|flash       compare only one of the two memories\n";

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  stopped by SIGTERM or SIGINT; --verify-dump: memory equals package\n"
    "  1  the unit could not start (a port taken, say); --verify-dump: a difference\n"
    "  2  bad usage; --verify-dump: the dump or the package cannot be read\n";

// The help names the program as it was started: installed, it is tq35b-sim.
void PrintHelp(const char* argv0) {
  const char* slash = std::strrchr(argv0, '/');
  const std::string name = slash ? slash + 1 : argv0;
  std::string help = kHelp;
  const std::string built = "tq35b_sim";
  for (size_t at = help.find(built); at != std::string::npos; at = help.find(built, at + name.size()))
    help.replace(at, built.size(), name);
  std::fputs(help.c_str(), stdout);
  std::fputs("Discovery answers (UDP 30303, only to this machine's own addresses):\n", stdout);
  std::fputs(AnnounceOptionsHelp(), stdout);
  std::fputs(TextHalfOptionsHelp(), stdout);
  std::fputs(kExitCodes, stdout);
}

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "tq35b_sim: %s (see --help)\n", text.c_str());
  std::exit(2);
}

double ParseRate(const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) Fail("not a rate: " + text);
  if (*end == '%') {
    v /= 100;
    ++end;
  }
  if (*end != 0 || v < 0 || v > 1) Fail("not a rate: " + text);
  return v;
}

// Milliseconds with a fraction, such as 0.3, as microseconds.
std::chrono::microseconds ParseMilliseconds(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != 0 || !(v >= 0) || v > 60000) Fail("not a time in ms: " + text);
  return std::chrono::microseconds(static_cast<long long>(v * 1000 + 0.5));
}

// "A[:B]": the part before the colon, and the part after it (empty if none).
std::pair<std::string, std::string> SplitAtColon(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

long ParseNumber(const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != 0) Fail("not a number: " + text);
  return v;
}

uint32_t FrameNumber(long n) {
  if (n < 1 || n > 0x7FFFFFFFL) Fail("frames count from 1: " + std::to_string(n));
  return static_cast<uint32_t>(n);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char c = text[++i];
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Sets one fault kind on the chosen directions.
void SetFault(sim::UnitOptions* o, const std::string& name, const std::string& value) {
  std::string kind = name;
  bool in = true, out = true;
  if (kind.size() > 3 && kind.compare(kind.size() - 3, 3, "-in") == 0) {
    kind.resize(kind.size() - 3);
    out = false;
  } else if (kind.size() > 4 && kind.compare(kind.size() - 4, 4, "-out") == 0) {
    kind.resize(kind.size() - 4);
    in = false;
  }
  std::string rate = value;
  uint32_t delayMs = 0;
  if (kind == "delay") {
    const size_t colon = value.find(':');
    if (colon != std::string::npos) {
      delayMs = static_cast<uint32_t>(ParseNumber(value.substr(colon + 1)));
      rate = value.substr(0, colon);
    }
  }
  const double r = ParseRate(rate);
  for (sim::FaultRates* f : {in ? &o->incoming : nullptr, out ? &o->outgoing : nullptr}) {
    if (!f) continue;
    if (kind == "drop")
      f->drop = r;
    else if (kind == "corrupt")
      f->corrupt = r;
    else if (kind == "duplicate")
      f->duplicate = r;
    else if (kind == "delay") {
      f->delay = r;
      if (delayMs) f->delayMs = delayMs;
    }
  }
}

bool IsFaultOption(const std::string& name) {
  for (const char* kind : {"drop", "corrupt", "duplicate", "delay"})
    for (const char* way : {"", "-in", "-out"})
      if (name == std::string(kind) + way) return true;
  return false;
}

int Verify(int argc, char** argv) {
  std::string dump, package;
  sim::VerifyScope scope = sim::VerifyScope::Both;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--verify-dump")
      dump = value();
    else if (a == "--package")
      package = value();
    else if (a == "--only") {
      const std::string v = value();
      if (v == "program")
        scope = sim::VerifyScope::Program;
      else if (v == "flash")
        scope = sim::VerifyScope::Flash;
      else
        Fail("--only takes program or flash");
    } else
      Fail("unknown option with --verify-dump: " + a);
  }
  std::string message;
  const int result = sim::VerifyDump(dump, package, scope, &message);
  std::printf("%s\n", message.c_str());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      PrintHelp(argv[0]);
      return 0;
    }
    if (!std::strcmp(argv[i], "--verify-dump")) return Verify(argc, argv);
  }

  sim::UnitOptions options;
  std::string dumpPath;
  std::string logPath;
  sim::HostileMode hostileMode = sim::HostileMode::None;
  AnnounceOptions announceOptions;
  std::string bootloadAddress;  // the bootloader's own address, when not --bind
  bool announce = false;
  std::string announceError;
  TextHalfOptions textOptions;
  bool textPortGiven = false;
  std::string textError;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--udp-port") {
      const long port = ParseNumber(value());
      if (port > 65535) Fail("no such port");
      options.udpPort = static_cast<int>(port < 0 ? -1 : port);
    } else if (a == "--bind")
      options.bindAddress = value();
    else if (a == "--pty-link")
      options.ptyLink = value();
    else if (a == "--no-pty")
      options.serial = false;
    else if (a == "--pace")
      options.pace = true;
    else if (a == "--pace-chunk") {
      const long bytes = ParseNumber(value());
      if (bytes < 1 || bytes > 4096) Fail("--pace-chunk takes 1 to 4096");
      options.pacedChunk = static_cast<unsigned>(bytes);
    } else if (a == "--bootloader-version") {
      if (!sim::ParseVersion(value(), &options.bootloader.versionMajor, &options.bootloader.versionMinor))
        Fail("--bootloader-version takes X.Y");
    } else if (a == "--sequence")
      options.bootloader.sequenceSupport = true;
    else if (a == "--no-sequence")
      options.bootloader.sequenceSupport = false;
    else if (a == "--app-version") {
      const std::string v = value();
      uint8_t major = 0, minor = 0;
      if (v == "none")
        options.bootloader.applicationVersion = 0xFFFFFFFF;
      else if (sim::ParseVersion(v, &major, &minor))
        options.bootloader.applicationVersion = minor | (uint32_t(major) << 16);
      else
        Fail("--app-version takes X.Y or none");
    } else if (a == "--identity")
      options.bootloader.identity = Unescape(value());
    else if (a == "--mode") {
      const std::string v = value();
      if (v == "bootload")
        options.mode = sim::UnitMode::Bootload;
      else if (v == "application")
        options.mode = sim::UnitMode::Application;
      else
        Fail("--mode takes bootload or application");
    } else if (a == "--exit-silent")
      options.bootloader.answerExit = false;
    else if (a == "--dump")
      dumpPath = value();
    else if (a == "--log")
      logPath = value();
    else if (a == "--seed")
      options.seed = static_cast<uint64_t>(ParseNumber(value()));
    else if (a.size() > 2 && IsFaultOption(a.substr(2)))
      SetFault(&options, a.substr(2), value());
    else if (a == "--bootload-address") {
      bootloadAddress = value();
      if (!ParseIpv4(bootloadAddress, &announceOptions.bootloadFromAddress))
        Fail("--bootload-address: not an IPv4 address: " + bootloadAddress);
    } else if (a == "--handling") {
      const auto parts = SplitAtColon(value());
      options.handling = ParseMilliseconds(parts.first);
      if (!parts.second.empty()) options.handlingJitter = ParseMilliseconds(parts.second);
    } else if (a == "--duplicate-frame")
      options.placed.duplicateFrame = FrameNumber(ParseNumber(value()));
    else if (a == "--lose-frame")
      options.placed.loseFrame = FrameNumber(ParseNumber(value()));
    else if (a == "--repeat-reply") {
      const auto parts = SplitAtColon(value());
      options.placed.repeatReply = FrameNumber(ParseNumber(parts.first));
      if (!parts.second.empty()) options.placed.repeatLag = ParseMilliseconds(parts.second);
    } else if (a == "--status0-at")
      options.bootloader.status0At = ParseNumber(value());
    else if (a == "--silent-from")
      options.bootloader.silentFrom = ParseNumber(value());
    else if (a == "--hostile") {
      if (!sim::ParseHostileMode(value(), &hostileMode))
        Fail("--hostile takes oversized, endless, foreign or wrong-sequence");
    } else if (TakeTextHalfOption(argc, argv, &i, &textOptions, &textError)) {
      if (!textError.empty()) Fail(textError);
      textPortGiven = textPortGiven || a == "--tcp-port";
    } else if (TakeAnnounceOption(argc, argv, &i, &announceOptions, &announce, &announceError)) {
      if (!announceError.empty()) Fail(announceError);
    } else
      Fail("unknown option " + a);
  }

  // The unit's thread must not take the stop signals: main waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim::UnitOptions unitOptions = options;
  if (!bootloadAddress.empty()) unitOptions.bindAddress = bootloadAddress;
  sim::SimulatedUnit unit(unitOptions);
  auto dump = [&] {
    if (dumpPath.empty()) return;
    std::string error;
    if (!sim::WriteDump(unit, dumpPath, &error)) std::fprintf(stderr, "tq35b_sim: %s\n", error.c_str());
  };
  unit.SetEndUpdateHandler(dump);
  std::FILE* frameLog = nullptr;
  if (!logPath.empty()) {
    frameLog = std::fopen(logPath.c_str(), "w");
    if (!frameLog) Fail("cannot write " + logPath);
    // Each line goes out whole as soon as its frame is in, so that a test
    // reading the log after the reply finds the frame there.
    unit.SetFrameHook([frameLog](sim::Channel channel, const std::vector<uint8_t>& raw) {
      std::string line = channel == sim::Channel::Udp ? "udp" : "serial";
      char hex[4];
      for (uint8_t b : raw) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
      }
      line += '\n';
      std::fputs(line.c_str(), frameLog);
      std::fflush(frameLog);
    });
  }
  std::unique_ptr<sim::HostilePeer> hostile;
  if (hostileMode != sim::HostileMode::None) hostile.reset(new sim::HostilePeer(unit, hostileMode));
  std::unique_ptr<TextHalf> text = AttachTextHalf(unit, textOptions);
  std::string error;
  if (!unit.Start(&error)) {
    std::fprintf(stderr, "tq35b_sim: %s\n", error.c_str());
    return 1;
  }
  // The discovery answers follow the unit's mode as it changes.
  std::unique_ptr<AnnounceResponder> responder;
  if (announce) {
    responder.reset(new AnnounceResponder(announceOptions, [&unit] { return unit.Mode() == sim::UnitMode::Bootload; }));
    if (!responder->Start(&error)) {
      std::fprintf(stderr, "tq35b_sim: %s\n", error.c_str());
      return 1;
    }
  }
  // The text port; 4999 may be taken by another unit on this machine, which
  // only matters when it was asked for.
  in_addr textAddress{};
  bool textPort = textOptions.tcp && inet_pton(AF_INET, options.bindAddress.c_str(), &textAddress) == 1 &&
                  text->Start(textAddress.s_addr);
  if (textOptions.tcp && !textPort) {
    std::fprintf(stderr, "tq35b_sim: cannot listen on TCP %s:%u\n", options.bindAddress.c_str(),
                 static_cast<unsigned>(textOptions.tcpPort));
    if (textPortGiven) return 1;
  }
  std::string ready = "ready udp=";
  ready += options.udpPort >= 0 ? unitOptions.bindAddress + ":" + std::to_string(unit.UdpPort()) : "none";
  ready += " pty=" + (options.serial ? unit.SerialPath() : std::string("none"));
  if (options.serial && !options.ptyLink.empty()) ready += " slave=" + unit.SlavePath();
  if (responder) ready += " announce=" + std::to_string(announceOptions.port);
  ready += " tcp=" + (textPort ? options.bindAddress + ":" + std::to_string(text->TcpPort()) : std::string("none"));
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  if (responder) responder->Stop();
  hostile.reset();  // its flood ends before the unit's lines close
  unit.Stop();
  text->Stop();  // after the unit, which calls into it
  dump();
  if (frameLog) std::fclose(frameLog);
  return 0;
}
