// The unit's dump: what it holds after an update, in files that scripts and
// tests compare with the package.
//
// PATH is a small JSON text:
//   {"format": "tq35b-sim-dump 1", "mode": "bootload" | "application",
//    "bootloader_version": "3.1", "sequence_support": true,
//    "application_version": "0x00010008", "version_stamp": "08000100" ("" if none),
//    "factory_defaults": false, "updates_ended": 1,
//    "frames": {"received": n, "executed": n, "repeated": n, "silenced": n, "unsupported": n,
//               "bad": n, "replies": n, "failures_injected": n},
//    "commands": {"131": {"name": "ApplicationRecords", "received": n, "executed": n}, ...},
//    "program": {"bytes": n, "data": "PATH.program.bin", "map": "PATH.program.map",
//                "segments": ["0x1D00B180:4096", ...]},
//    "flash": {... the same for flash ...}}
// Each memory goes in two side files beside PATH: NAME.bin holds the bytes
// of every segment one after the other, NAME.map one line per segment,
// "0xADDRESS:LENGTH" (address in hexadecimal, length in decimal), in address
// order. A flash written whole from 0x40000 is therefore one segment, and
// its .bin is byte for byte the flash image. The JSON names the side files
// without a folder: they lie beside it.
#pragma once

#include <string>

#include "sim/simulated_unit.h"
#include "sim/sparse_memory.h"

namespace sim {

// Writes the dump; each file is written under a temporary name and renamed,
// so that a reader never sees half a dump.
bool WriteDump(const SimulatedUnit& unit, const std::string& path, std::string* error);

// Reads a memory back from its .bin and .map pair (path without suffix).
bool ReadDumpMemory(const std::string& sidePath, SparseMemory* memory, std::string* error);

enum class VerifyScope { Both, Program, Flash };

// Compares the dump at `path` with the package (directory "" = built in).
// Returns 0 and "memory equals package", 1 and the first difference, or 2
// and the reason the comparison could not be made.
int VerifyDump(const std::string& path, const std::string& packageDirectory, VerifyScope scope, std::string* message);

}  // namespace sim
