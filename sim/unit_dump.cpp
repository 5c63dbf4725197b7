#include "sim/unit_dump.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/package_images.h"

namespace sim {

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAtomically(const std::string& path, const std::string& content, std::string* error) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary;
    return false;
  }
  return true;
}

std::string SegmentText(const MemorySegment& s) {
  char text[40];
  std::snprintf(text, sizeof text, "0x%08" PRIX32 ":%zu", s.address, s.bytes.size());
  return text;
}

// Writes NAME.bin and NAME.map and returns the JSON object describing them.
bool WriteMemory(const SparseMemory& memory, const std::string& sidePath, std::string* json, std::string* error) {
  const auto segments = memory.Segments();
  std::string data, map;
  std::string list;
  for (const auto& s : segments) {
    data.append(s.bytes.begin(), s.bytes.end());
    map += SegmentText(s) + "\n";
    list += (list.empty() ? "\"" : ", \"") + SegmentText(s) + "\"";
  }
  if (!WriteAtomically(sidePath + ".bin", data, error) || !WriteAtomically(sidePath + ".map", map, error)) return false;
  std::ostringstream o;
  o << "{\"bytes\": " << data.size() << ", \"data\": \"" << BaseName(sidePath) << ".bin\", \"map\": \""
    << BaseName(sidePath) << ".map\", \"segments\": [" << list << "]}";
  *json = o.str();
  return true;
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
  return text;
}

}  // namespace

bool WriteDump(const SimulatedUnit& unit, const std::string& path, std::string* error) {
  // Copy everything in one go under the unit's lock, write outside it.
  SparseMemory program, flash;
  BootloaderCounters c;
  LineCounters line;
  BootloaderOptions options;
  uint32_t applicationVersion = 0;
  std::vector<uint8_t> stamp;
  bool factory = false;
  unit.Inspect([&](const UnitBootloader& b, const LineCounters& l) {
    program = b.Program();
    flash = b.Flash();
    c = b.Counters();
    line = l;
    options = b.Options();
    applicationVersion = b.ApplicationVersion();
    stamp = b.VersionStamp();
    factory = b.FactoryDefaultsRestored();
  });

  std::string programJson, flashJson;
  if (!WriteMemory(program, path + ".program", &programJson, error) ||
      !WriteMemory(flash, path + ".flash", &flashJson, error))
    return false;

  std::string stampText;
  for (uint8_t b : stamp) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    stampText += two;
  }
  std::ostringstream o;
  o << "{\n"
    << "  \"format\": \"tq35b-sim-dump 1\",\n"
    << "  \"mode\": \"" << (unit.Mode() == UnitMode::Bootload ? "bootload" : "application") << "\",\n"
    << "  \"bootloader_version\": \"" << unsigned(options.versionMajor) << "." << unsigned(options.versionMinor)
    << "\",\n"
    << "  \"sequence_support\": " << (options.sequenceSupport ? "true" : "false") << ",\n"
    << "  \"application_version\": \"" << Hex32(applicationVersion) << "\",\n"
    << "  \"version_stamp\": \"" << stampText << "\",\n"
    << "  \"factory_defaults\": " << (factory ? "true" : "false") << ",\n"
    << "  \"updates_ended\": " << c.updatesEnded << ",\n"
    << "  \"program_erases\": " << c.programErases << ",\n"
    << "  \"flash_erases\": " << c.flashErases << ",\n"
    << "  \"frames\": {\"received\": " << c.framesReceived << ", \"executed\": " << c.framesExecuted
    << ", \"repeated\": " << c.framesRepeated << ", \"silenced\": " << c.framesSilenced
    << ", \"unsupported\": " << c.framesUnsupported << ", \"bad\": " << line.badFrames
    << ", \"replies\": " << line.repliesSent << ", \"failures_injected\": " << c.failuresInjected << "},\n"
    << "  \"commands\": {";
  bool first = true;
  for (int code = 0; code < 256; ++code) {
    const CommandCount& n = c.perCode[code];
    if (n.received == 0) continue;
    o << (first ? "\n" : ",\n") << "    \"" << code << "\": {\"name\": \"" << CommandName(static_cast<uint8_t>(code))
      << "\", \"received\": " << n.received << ", \"executed\": " << n.executed << "}";
    first = false;
  }
  o << (first ? "},\n" : "\n  },\n");
  o << "  \"program\": " << programJson << ",\n"
    << "  \"flash\": " << flashJson << "\n"
    << "}\n";
  return WriteAtomically(path, o.str(), error);
}

bool ReadDumpMemory(const std::string& sidePath, SparseMemory* memory, std::string* error) {
  std::ifstream map(sidePath + ".map");
  std::ifstream data(sidePath + ".bin", std::ios::binary);
  if (!map || !data) {
    *error = "cannot read " + sidePath + ".map / .bin";
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(data)), std::istreambuf_iterator<char>());
  memory->Clear();
  size_t used = 0;
  std::string line;
  while (std::getline(map, line)) {
    if (line.empty()) continue;
    uint32_t address = 0;
    size_t length = 0;
    if (std::sscanf(line.c_str(), "0x%" SCNx32 ":%zu", &address, &length) != 2 || length > bytes.size() - used) {
      *error = sidePath + ".map: bad line \"" + line + "\"";
      return false;
    }
    memory->Write(address, reinterpret_cast<const uint8_t*>(bytes.data() + used), length);
    used += length;
  }
  if (used != bytes.size()) {
    *error = sidePath + ".bin holds more bytes than its map names";
    return false;
  }
  return true;
}

int VerifyDump(const std::string& path, const std::string& packageDirectory, VerifyScope scope, std::string* message) {
  std::ifstream json(path);
  if (!json) {
    *message = "cannot read the dump " + path;
    return 2;
  }
  PackageImages package;
  std::string error;
  if (!LoadPackageImages(packageDirectory, &package, &error)) {
    *message = error;
    return 2;
  }
  SparseMemory program, flash;
  if ((scope != VerifyScope::Flash && !ReadDumpMemory(path + ".program", &program, &error)) ||
      (scope != VerifyScope::Program && !ReadDumpMemory(path + ".flash", &flash, &error))) {
    *message = error;
    return 2;
  }
  if (scope != VerifyScope::Flash) {
    const std::string d = FirstDifference(program, package.program);
    if (!d.empty()) {
      *message = "program memory differs from the package at " + d;
      return 1;
    }
  }
  if (scope != VerifyScope::Program) {
    const std::string d = FirstDifference(flash, package.flash);
    if (!d.empty()) {
      *message = "flash differs from the package at " + d;
      return 1;
    }
  }
  *message = scope == VerifyScope::Both      ? "memory equals package"
             : scope == VerifyScope::Program ? "program memory equals package"
                                             : "flash equals package";
  return 0;
}

}  // namespace sim
