// Command-line front end: argument checks, the usage text and the existing-file guard.
#pragma once

#include <cstdio>

// Prints the usage text on standard output.
void Help();

// 2 when `name` exists (whatever it is, a dangling link included), 1 otherwise. Prints nothing and
// opens nothing.
int CheckFileName(const char* name);

// Tells the user that `name` exists and reads answers from `in` until one is "x"
// (returns 1: leave) or "o" (returns 2: overwrite). Other words are skipped silently; the
// end of the input, or a read error, counts as "x".
int CheckOverwrite(const char* name, FILE* in);

// The whole program: checks the arguments, settles the file names and records. Returns
// the exit status.
int NalvoMain(int argc, char** argv, FILE* in);
