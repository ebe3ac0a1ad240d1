// The console while recording: a terminal that is scrolled back or stopped (Ctrl-S), or a
// pipe nobody reads, must never hold up the capture.
#pragma once

#include <cstddef>

// From here on, text goes to standard output without ever blocking. Standard output's
// buffer is flushed first.
void ConsoleBegin();

// Text that belongs in the stream (an overrun mark, a warning): written in order as soon
// as the console takes it. Dropped only when the console is far behind, or gone. Outside
// Begin/End it is plain buffered standard output.
void ConsoleText(const char* text, std::size_t n);

// A redraw of the console line: skipped when the console cannot take it at once, since
// the next one replaces it. Outside Begin/End it is written and flushed.
void ConsoleRedraw(const char* text, std::size_t n);

// Back to plain standard output: what is still pending is written, waiting if need be.
void ConsoleEnd();
