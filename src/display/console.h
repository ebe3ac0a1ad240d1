// The console while recording: a terminal that is scrolled back or stopped (Ctrl-S), a
// pipe nobody reads, or a file on a card that stalls (nohup) must never hold up the
// capture.
//
// One thread produces console text: ConsoleText and ConsoleRedraw are called from the
// capture thread only (outside Begin/End, from whichever thread prints). They take no lock
// and never allocate; while recording, the text they hold is written by that same thread
// or by a thread of the console's own, never waited for.
#pragma once

#include <cstddef>

// From here on, console text goes to `fd` (standard output while recording), and writing
// it never keeps the caller waiting. Standard output's buffer is flushed first.
void ConsoleBegin(int fd);

// What a line is worth when the console is too far behind to hold it.
enum class ConsoleLine {
    Droppable,  // an overrun mark, a warning: dropped whole, and counted
    Kept,       // where the recording goes on: always shown, later than it came at worst
};

// One line of the stream (with the newlines that set it apart): written in order with the
// redraws as soon as the console takes it, never cut. Lines dropped are counted, and the
// console is told how many on a line of its own as soon as it takes text again. Outside
// Begin/End it is plain buffered standard output.
void ConsoleText(const char* text, std::size_t n, ConsoleLine line);

// A redraw of the console line: skipped when the console cannot take it, since the next
// one replaces it, and never torn. Outside Begin/End it is written and flushed.
void ConsoleRedraw(const char* text, std::size_t n);

// Back to plain standard output: what is still held is written, waiting if need be, then
// the count of the lines dropped and the lines kept aside.
void ConsoleEnd();
