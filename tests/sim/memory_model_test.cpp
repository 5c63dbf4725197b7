// The simulated unit's memory model: HEX record decoding with extended
// addresses, the sparse memory's segments, and the package as reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/hex_records.h"
#include "sim/package_images.h"
#include "sim/sparse_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A binary record with its checksum.
Bytes Record(uint8_t type, uint16_t offset, const Bytes& data) {
  Bytes r{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), type};
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
  r.push_back(static_cast<uint8_t>(-sum));
  return r;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

uint8_t At(const sim::SparseMemory& m, uint32_t address) {
  uint8_t v = 0;
  EXPECT_TRUE(m.Read(address, &v)) << std::hex << address;
  return v;
}

TEST(HexRecordsTest, LinearAddressesCarryAcrossFrames) {
  sim::SparseMemory memory;
  sim::HexAddressState state;
  ASSERT_TRUE(sim::DecodeHexRecords(Record(4, 0, {0x1D, 0x00}).data(), 7, &state, &memory));
  const Bytes frame = Join({Record(0, 0xB180, {1, 2, 3}), Record(4, 0, {0x1D, 0x01}), Record(0, 0x0010, {9})});
  ASSERT_TRUE(sim::DecodeHexRecords(frame.data(), frame.size(), &state, &memory));
  const Bytes next = Record(0, 0xFFFF, {7, 8});  // runs on past the 64 KiB boundary
  ASSERT_TRUE(sim::DecodeHexRecords(next.data(), next.size(), &state, &memory));
  EXPECT_EQ(1, At(memory, 0x1D00B180));
  EXPECT_EQ(3, At(memory, 0x1D00B182));
  EXPECT_EQ(9, At(memory, 0x1D010010));
  EXPECT_EQ(7, At(memory, 0x1D01FFFF));
  EXPECT_EQ(8, At(memory, 0x1D020000));
  EXPECT_EQ(6u, memory.Size());
}

TEST(HexRecordsTest, SegmentAddressesWrapInsideTheirWindow) {
  sim::SparseMemory memory;
  sim::HexAddressState state;
  const Bytes frame = Join({Record(2, 0, {0x12, 0x34}), Record(0, 0xFFFF, {0xA, 0xB})});
  ASSERT_TRUE(sim::DecodeHexRecords(frame.data(), frame.size(), &state, &memory));
  EXPECT_EQ(0xA, At(memory, 0x12340 + 0xFFFF));
  EXPECT_EQ(0xB, At(memory, 0x12340));  // offset wrapped to 0 within the segment
}

TEST(HexRecordsTest, FaultyFrameChangesNothing) {
  sim::SparseMemory memory;
  sim::HexAddressState state;
  Bytes bad = Join({Record(4, 0, {0x1D, 0x00}), Record(0, 0x100, {1, 2}), Record(0, 0x200, {3})});
  bad.back() ^= 1;  // checksum of the last record
  std::string error;
  EXPECT_FALSE(sim::DecodeHexRecords(bad.data(), bad.size(), &state, &memory, &error));
  EXPECT_NE(std::string::npos, error.find("checksum"));
  EXPECT_TRUE(memory.Empty());
  EXPECT_EQ(0u, state.base);

  const Bytes cut = Join({Record(0, 0, {1, 2, 3})});
  EXPECT_FALSE(sim::DecodeHexRecords(cut.data(), cut.size() - 1, &state, &memory, &error));
  const Bytes unknown = Record(7, 0, {1});
  EXPECT_FALSE(sim::DecodeHexRecords(unknown.data(), unknown.size(), &state, &memory, &error));
  const Bytes shortLinear = Record(4, 0, {1});
  EXPECT_FALSE(sim::DecodeHexRecords(shortLinear.data(), shortLinear.size(), &state, &memory, &error));
  EXPECT_TRUE(memory.Empty());

  const Bytes endAndStart = Join({Record(5, 0, {0x9D, 0, 0x10, 0}), Record(1, 0, {})});
  EXPECT_TRUE(sim::DecodeHexRecords(endAndStart.data(), endAndStart.size(), &state, &memory));
  EXPECT_TRUE(memory.Empty());
}

TEST(HexRecordsTest, TextDecodingIsStrict) {
  sim::SparseMemory memory;
  std::string error;
  size_t records = 0;
  const std::string good = ":020000041D00DD\r\n:03B18000010203C6\r\n\r\n:00000001FF\r\n";
  ASSERT_TRUE(sim::DecodeHexText(good.data(), good.size(), &memory, &error, &records)) << error;
  EXPECT_EQ(3u, records);
  EXPECT_EQ(2, At(memory, 0x1D00B181));
  for (const std::string bad :
       {":020000041D00D\r\n", ":0200000G1D00DD\n", ":030000041D00DD\n", "020000041D00DD\n", ":020000041D00DE\n"}) {
    EXPECT_FALSE(sim::DecodeHexText(bad.data(), bad.size(), &memory, &error)) << bad;
    EXPECT_NE(std::string::npos, error.find("line 1")) << error;
  }
}

TEST(SparseMemoryTest, SegmentsJoinAcrossPagesAndSplitAtGaps) {
  sim::SparseMemory memory;
  Bytes a(5000, 0x11);
  memory.Write(0x1D00F000, a.data(), a.size());  // crosses a page boundary
  const uint8_t b[] = {1, 2};
  memory.Write(0x1D00F000 + 5001, b, 2);  // one byte of gap
  memory.Write(0xFFFFFFFF, b, 2);         // wraps to 0
  const auto segments = memory.Segments();
  ASSERT_EQ(4u, segments.size());
  EXPECT_EQ(0u, segments[0].address);
  EXPECT_EQ(1u, segments[0].bytes.size());
  EXPECT_EQ(0x1D00F000u, segments[1].address);
  EXPECT_EQ(5000u, segments[1].bytes.size());
  EXPECT_EQ(0x1D00F000u + 5001, segments[2].address);
  EXPECT_EQ(0xFFFFFFFFu, segments[3].address);
  EXPECT_EQ(5004u, memory.Size());
}

TEST(SparseMemoryTest, FirstDifferenceNamesAddressAndBothValues) {
  sim::SparseMemory unit, package;
  const uint8_t bytes[] = {1, 2, 3, 4};
  unit.Write(0x100, bytes, 4);
  package.Write(0x100, bytes, 4);
  EXPECT_EQ("", sim::FirstDifference(unit, package));
  const uint8_t other = 9;
  unit.Write(0x102, &other, 1);
  EXPECT_EQ("0x00000102: unit 0x09, package 0x03", sim::FirstDifference(unit, package));
  package.Write(0x102, &other, 1);
  package.Write(0x80, bytes, 1);
  EXPECT_EQ("0x00000080: unit none, package 0x01", sim::FirstDifference(unit, package));
  unit.Write(0x80, bytes, 1);
  EXPECT_TRUE(unit == package);
}

// The reference the unit's memory is compared with must itself be right:
// check the packaged image against the shape the package is built to.
TEST(PackageImagesTest, BuiltInPackageDecodesToItsKnownShape) {
  sim::PackageImages images;
  std::string error;
  ASSERT_TRUE(sim::LoadPackageImages("", &images, &error)) << error;
  EXPECT_EQ(19762u, images.hexRecords);
  EXPECT_EQ(246516u, images.flashSize);
  const auto segments = images.program.Segments();
  ASSERT_FALSE(segments.empty());
  EXPECT_EQ(0x1D00B180u, segments.front().address);
  uint8_t v;
  EXPECT_TRUE(images.program.Read(0x1D07FFFC, &v));
  EXPECT_TRUE(images.program.Read(0x1D07FFFF, &v));
  EXPECT_FALSE(images.program.Read(0x1D080000, &v));
  EXPECT_TRUE(images.program.Read(0x1FC00480, &v));
  EXPECT_TRUE(images.program.Read(0x1FC004AB, &v));
  EXPECT_FALSE(images.program.Read(0x1FC004AC, &v));
  EXPECT_FALSE(images.program.Read(0x1D04D3F8, &v));
  EXPECT_EQ(images.program.Size(), [&] {
    size_t n = 0;
    for (const auto& s : segments) n += s.bytes.size();
    return n;
  }());
  const auto flash = images.flash.Segments();
  ASSERT_EQ(1u, flash.size());
  EXPECT_EQ(sim::kFlashImageBase, flash[0].address);

  sim::PackageImages fromFolder;
  ASSERT_TRUE(sim::LoadPackageImages(TQ_PACKAGE_DIR, &fromFolder, &error)) << error;
  EXPECT_TRUE(fromFolder.program == images.program);
  EXPECT_TRUE(fromFolder.flash == images.flash);
  EXPECT_FALSE(sim::LoadPackageImages("/nonexistent", &fromFolder, &error));
}

}  // namespace
