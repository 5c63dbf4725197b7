#include <windows.h>

#include "cli/venue/report_files.h"
#include "cli/text.h"

namespace cli {

namespace {

std::string Reason() { return "system error " + std::to_string(::GetLastError()); }

std::wstring TemporaryBeside(const std::string& path) {
  return Wide(path) + L".tmp-" + std::to_wstring(::GetCurrentProcessId());
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  const std::wstring temporary = TemporaryBeside(path);
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = Reason();
    return false;
  }
  size_t done = 0;
  bool written = true;
  while (done < content.size()) {
    DWORD n = 0;
    if (!::WriteFile(file, content.data() + done, static_cast<DWORD>(content.size() - done), &n, nullptr) || n == 0) {
      written = false;
      break;
    }
    done += n;
  }
  if (written) written = ::FlushFileBuffers(file) != 0;
  if (!written) *error = Reason();
  ::CloseHandle(file);
  if (written &&
      !::MoveFileExW(temporary.c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = Reason();
    written = false;
  }
  if (!written) ::DeleteFileW(temporary.c_str());
  return written;
}

bool CanWriteReport(const std::string& path, std::string* error) {
  if (path.empty() || path.back() == '\\' || path.back() == '/') {
    *error = "it names a folder, not a file";
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "it is a folder";
    return false;
  }
  const std::wstring temporary = TemporaryBeside(path);
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = Reason();
    return false;
  }
  ::CloseHandle(file);
  ::DeleteFileW(temporary.c_str());
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  content->clear();
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) content->append(buffer, n);
  ::CloseHandle(file);
  return true;
}

bool MakeFolder(const std::string& path) { return ::CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = Utf8(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

void RemoveFile(const std::string& path) { ::DeleteFileW(Wide(path).c_str()); }
void RemoveFolder(const std::string& path) { ::RemoveDirectoryW(Wide(path).c_str()); }

unsigned long OwnProcessId() { return ::GetCurrentProcessId(); }

bool ParentAlive(unsigned long parent) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(parent));
  if (!process) return false;
  const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return alive;
}

}  // namespace cli
