// The names of a recording's files: generated from the time, numbered after a given name,
// and the one way a new file of a series is created, under the first name that is free.
#pragma once

#include <string>

// Seconds between the Unix epoch and the epoch of generated file names.
constexpr long kNamingEpoch = 1349885340;

// Seconds since the naming epoch.
long NewTime();

// "rec_chan_<input>_<seconds>.wav".
std::string GeneratedName(int input, long seconds);

// The name of the `number`-th file (2, 3, ...) of a recording given the name `first`: the
// number goes before the extension of the last path component ("a.wav": "a-2.wav"; "take":
// "take-2").
std::string ContinuationName(const std::string& first, int number);

// A series of names to try in turn: generated names of `input` from `seconds` on, one a
// second, or the continuations of `first` from `number` on.
struct NameSeries {
    bool generated = true;
    int input = 1;
    long seconds = 0;
    std::string first;
    int number = 2;
};

// Opens one output for writing only (a file the user may write but not read is still
// theirs to record into). A name that existed when the user was asked is opened as it
// stands, never created or truncated here; any other name is created exclusively, so a
// file or a link that appeared since is never written through. Returns the descriptor or
// -1 with errno set.
int OpenOutput(const std::string& name, bool existed);

// Creates the first name of `series` that is free, exclusively: a taken name moves on to the
// next one, never replacing anything; any other failure ends the search. Returns the
// descriptor (or -1 with errno set) and, in `name` and `step`, the name tried last and its
// place in the series (0 for the first).
int CreateFirstFree(const NameSeries& series, std::string& name, int& step);
