// Text helpers of the terminal tool: the package and the workers speak wide
// text, the terminal and the JSON events UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// UTF-16 on Windows, UTF-32 on Linux, to UTF-8 and back. Invalid units turn
// into U+FFFD rather than being dropped, so nothing vanishes silently.
std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);
std::wstring Wide(const std::string& utf8);

// "192.168.1.20" from an address in network byte order.
std::string DottedAddress(uint32_t address);

// "3.1" from a version word with the major number in the high half: 8-bit
// halves for a bootloader version, 16-bit halves for an application version.
std::string BootloaderVersionText(unsigned version);
std::string ApplicationVersionText(uint32_t version);

// 512 B, 12.3 kB, 1.20 MB (decimal units, as transfer rates are given).
std::string ByteCountText(uint64_t bytes);
// 0:07, 1:05:09.
std::string DurationText(int64_t milliseconds);

// Line ends of resource texts (CR LF) as the terminal wants them (LF).
std::string UnixLineEnds(const std::string& text);

}  // namespace cli
