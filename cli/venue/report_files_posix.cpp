#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/venue/report_files.h"

namespace cli {

namespace {

std::string Reason() { return std::strerror(errno); }

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string TemporaryBeside(const std::string& path) { return path + ".tmp-" + std::to_string(::getpid()); }

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  const std::string temporary = TemporaryBeside(path);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Reason();
    return false;
  }
  const bool written = WriteAll(fd, content) && ::fsync(fd) == 0;
  const int savedErrno = errno;
  ::close(fd);
  if (!written) {
    ::unlink(temporary.c_str());
    errno = savedErrno;
    *error = Reason();
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = Reason();
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool CanWriteReport(const std::string& path, std::string* error) {
  struct stat info {};
  if (path.empty() || path.back() == '/') {
    *error = "it names a folder, not a file";
    return false;
  }
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "it is a folder";
    return false;
  }
  const std::string temporary = TemporaryBeside(path);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Reason();
    return false;
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  content->clear();
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, n);
  std::fclose(file);
  return true;
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }
void RemoveFolder(const std::string& path) { ::rmdir(path.c_str()); }

unsigned long OwnProcessId() { return static_cast<unsigned long>(::getpid()); }

// A worker whose parent has ended is handed to another process.
bool ParentAlive(unsigned long parent) { return static_cast<unsigned long>(::getppid()) == parent; }

}  // namespace cli
