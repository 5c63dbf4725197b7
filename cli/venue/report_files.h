// Files of the visit report: written whole or not at all (a temporary file
// in the same folder, then a rename over the old one), with the path taken
// as UTF-8 and handed to the system as wide characters on Windows.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Writes `content` to `path` through a temporary file beside it.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error);
// Whether a report could be written to `path`: its folder takes a new file
// and the path is not a folder. Nothing is left behind.
bool CanWriteReport(const std::string& path, std::string* error);
bool ReadWholeFile(const std::string& path, std::string* content);
bool MakeFolder(const std::string& path);
// The names of the files in a folder (not . and ..).
std::vector<std::string> FilesIn(const std::string& folder);
void RemoveFile(const std::string& path);
void RemoveFolder(const std::string& path);  // an empty one
// This process's id, and whether the process that started this one is
// still there (`parent` is the id it gave).
unsigned long OwnProcessId();
bool ParentAlive(unsigned long parent);

}  // namespace cli
