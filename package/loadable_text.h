// LoadableText: the base of every object that is filled line by line from a
// text resource of the program (or from a text file).
#pragma once

#include <cstddef>
#include <cstdint>

class LoadableText {
 public:
  // At most this many characters of a line reach ParseLine; the rest of a
  // longer line is dropped (nothing in the package comes close).
  static constexpr size_t kMaxLineLength = 1023;

  // Consumes one line of wide text, without its line end and never empty.
  // Returns true to go on, false to abort the load.
  virtual bool ParseLine(const wchar_t* line) = 0;
  // Runs at the start of every load; returns true if the load may proceed.
  virtual bool Reset();
  // Fills the object from a text file. Every line is read, the last one too
  // when it has no line end.
  virtual bool LoadFromFile(const wchar_t* path);
  // Fills the object from a resource of the program's own module. A run of
  // CR and LF bytes ends a line; bytes after the last line end are not read.
  virtual bool LoadFromResource(const wchar_t* name, const wchar_t* type);

 protected:
  LoadableText() = default;
  // Not virtual: the objects are globals, never deleted through this class.
  ~LoadableText() = default;
  LoadableText(const LoadableText&) = delete;
  LoadableText& operator=(const LoadableText&) = delete;

 private:
  // Splits bytes into lines and hands each to ParseLine.
  bool ParseBytes(const uint8_t* data, size_t size, bool readLastLine);
  // Converts one line into line_ and hands it on; empty lines are skipped.
  bool HandLine(const uint8_t* bytes, size_t count);

  // Every line handed to ParseLine lives here (per object, so that two
  // objects may load at the same time).
  wchar_t line_[kMaxLineLength + 1] = {};
};
