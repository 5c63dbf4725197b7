// The terminal side: is output going to a terminal, how wide is it, writing
// UTF-8 text, and reading the installer PIN without echo.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace cli {

bool StdoutIsTerminal();
bool StdinIsTerminal();
// Columns of the terminal on standard output; 80 when it cannot be told.
int TerminalColumns();
// Turns on cursor movement sequences where the console needs asking
// (Windows); false when the terminal cannot move the cursor.
bool EnableCursorControl();

// Whole UTF-8 texts, written at once and flushed.
void WriteOut(const std::string& text);
void WriteErr(const std::string& text);

// Reads one line of secret input into `buffer` (NUL-terminated, without
// its line end). From a terminal the prompt goes to standard error and
// the typed characters are not echoed; otherwise one line is read from
// standard input. Nothing is kept anywhere else: the caller wipes the
// buffer. False when nothing could be read (end of input) or the line did
// not fit.
bool ReadSecretLine(const char* prompt, char* buffer, size_t capacity);

// A yes-or-no question on the terminal: the prompt on standard error, one
// echoed line from standard input. True only for an answer of y or yes.
bool AskYes(const char* prompt);

// From now on no signal or console event ends the program at once: Ctrl-C
// and Ctrl-Break (and, on Linux, SIGTERM) are counted, and a hang-up (a
// closed terminal or console window, a lost SSH session, on Linux SIGHUP)
// is noted; the program looks at them and finishes what it must. Writing
// to a closed pipe no longer ends the program either: the write fails.
void CatchInterrupt();
// A stop was asked for, one way or another.
bool Interrupted();
// Ctrl-C presses so far (Ctrl-Break and SIGTERM count as well).
int InterruptCount();
bool HungUp();
// Non-zero from the first stop request or hang-up on: for work that looks
// at a flag rather than asking (the network search).
const std::atomic<int>* StopAskedFlag();
// The program is done with what it had to finish: a console window being
// closed may take it now (Windows waits in its handler until then).
void FinishedAfterStop();
// Should the system end the program before FinishedAfterStop (Windows:
// its console window was closed and the time the system gives is up),
// `handOver` runs first, on another thread, to leave what the program
// knows where others can finish it. Linux never ends it that way: a
// hang-up is only noted.
void BeforeEndedUnfinished(void (*handOver)());

// A worker process that writes to a unit: neither Ctrl-C, nor a hang-up,
// nor a closed pipe to the process that started it ends it. Before
// WritingBegins() a stop request (SIGTERM; on Windows the process is
// ended) still ends it; after it, it finishes its unit whatever comes.
void ShieldWorker();
void WritingBegins();
// Called first thing by every process of this program: one started as a
// worker (on Windows) watches from then on for its parent's request to
// stop, which ends it unless WritingBegins() came first. On Linux that
// request is SIGTERM.
void WatchWorkerStop();

// Stores of zeros that the compiler may not drop.
void WipeMemory(void* data, size_t size);

}  // namespace cli
