// BinFile and CBinManager: the flash image of the package, handed out in
// blocks, each with the flash address the unit writes it to.
#pragma once

#include <cstdint>
#include <memory>

// The bytes of a binary image: the program's own resource data (never
// freed) or a copy read from a file.
class BinFile {
 public:
  BinFile() = default;
  // Not virtual: the image is a global, never deleted through this class.
  ~BinFile() { BinFile::Clear(); }
  BinFile(const BinFile&) = delete;
  BinFile& operator=(const BinFile&) = delete;

  // Empties the image; a file image is freed, resource data is left alone.
  virtual void Clear();
  // Reads the whole file. The image stays empty when it cannot be read.
  virtual bool LoadFromFile(const wchar_t* path);
  // Takes the resource `name` of type "BIN" in place.
  virtual bool LoadFromResource(const wchar_t* name);

  uint32_t Size() const { return size_; }
  const uint8_t* Data() const { return data_; }
  bool FromResource() const { return fromResource_; }

 protected:
  uint32_t size_ = 0;
  bool fromResource_ = false;
  const uint8_t* data_ = nullptr;

 private:
  std::unique_ptr<uint8_t[]> fileData_;  // owns data_ for a file image
};

class CBinManager : public BinFile {
 public:
  explicit CBinManager(uint32_t baseAddress);

  // Empties the image and starts handing out from the base address again.
  void Clear() override;

  // Back to the first block: position at the base address, nothing consumed.
  bool Rewind();
  // Copies the next block of at most `maximum` bytes to destination, stores
  // its flash address in *address and returns its length; 0 when the image
  // is used up (then *address is not written).
  uint16_t NextBlock(uint8_t* destination, uint16_t maximum, uint32_t* address);
  uint32_t BytesConsumed() const { return bytesConsumed_; }
  uint32_t BaseAddress() const { return baseAddress_; }

 private:
  uint32_t baseAddress_;
  uint32_t position_;
  uint32_t bytesConsumed_ = 0;
};
