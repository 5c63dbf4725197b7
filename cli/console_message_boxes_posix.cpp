#include <mutex>

#include "cli/console_message_boxes.h"
#include "cli/text.h"
#include "platform/platform.h"

namespace cli {

namespace {

std::mutex g_sinkMutex;

int ToSink(platform::WindowRef, const wchar_t* text, const wchar_t* caption, unsigned type, void* context) {
  const ShownMessage shown{Utf8(caption), Utf8(text), (type & 0xF0) == MB_ICONERROR};
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  (*static_cast<ConsoleMessageBoxes::Sink*>(context))(shown);
  return IDOK;
}

}  // namespace

ConsoleMessageBoxes::ConsoleMessageBoxes(Sink sink) : sink_(std::move(sink)) {
  platform::SetMessageBoxHandler(ToSink, &sink_);
}

ConsoleMessageBoxes::~ConsoleMessageBoxes() { platform::SetMessageBoxHandler(nullptr, nullptr); }

}  // namespace cli
