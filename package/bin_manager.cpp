#include "package/bin_manager.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "package/open_file.h"
#include "platform/platform.h"

namespace {

// The file is read in small pieces, like the blocks the unit is sent.
constexpr size_t kReadChunk = 64;

// Length of an open file, or -1 when it cannot be told.
long FileLength(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  long length = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return length;
}

}  // namespace

void BinFile::Clear() {
  size_ = 0;
  // Only a file image is ours to free; resource data belongs to the module
  // and is never held in fileData_.
  fileData_.reset();
  data_ = nullptr;
}

bool BinFile::LoadFromResource(const wchar_t* name) {
  Clear();
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform::FindModuleResource(name, L"BIN", &data, &size)) return false;
  size_ = size;
  data_ = data;
  fromResource_ = true;
  return true;
}

bool BinFile::LoadFromFile(const wchar_t* path) {
  Clear();
  fromResource_ = false;
  std::FILE* file = package_io::OpenForReading(path);
  if (!file) return false;
  long length = FileLength(file);
  if (length < 0 || static_cast<uint64_t>(length) > UINT32_MAX) {
    std::fclose(file);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(length);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size ? size : 1]());
  if (!buffer) {
    std::fclose(file);
    return false;
  }
  // Never more than the length told at the start, even if the file has
  // grown since; a file that shrank leaves zeros at the end.
  size_t done = 0;
  while (done < size) {
    size_t want = size - done < kReadChunk ? size - done : kReadChunk;
    size_t got = std::fread(buffer.get() + done, 1, want, file);
    if (got == 0) break;
    done += got;
  }
  std::fclose(file);
  fileData_ = std::move(buffer);
  data_ = size ? fileData_.get() : nullptr;
  size_ = size;
  return true;
}

CBinManager::CBinManager(uint32_t baseAddress) : baseAddress_(baseAddress), position_(baseAddress) {}

void CBinManager::Clear() {
  BinFile::Clear();
  Rewind();
}

bool CBinManager::Rewind() {
  position_ = baseAddress_;
  bytesConsumed_ = 0;
  return true;
}

uint16_t CBinManager::NextBlock(uint8_t* destination, uint16_t maximum, uint32_t* address) {
  uint32_t offset = position_ - baseAddress_;
  if (offset >= size_ || !destination) return 0;
  uint32_t left = size_ - offset;
  uint16_t count = left < maximum ? static_cast<uint16_t>(left) : maximum;
  if (address) *address = position_;
  std::memcpy(destination, data_ + offset, count);
  position_ += count;
  bytesConsumed_ = position_ - baseAddress_;
  return count;
}
