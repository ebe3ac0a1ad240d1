// The names of a recording's files: generated from the time, numbered after a given name,
// and the one way a new file of a series is created, under the first name that is free.
#pragma once

#include <cstdint>
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

// "<date>T<time>Z.wav" for the UTC second `utcSeconds` since the Unix epoch, in ISO 8601's
// basic form (20261207T150000Z) so that the names sort by time; "<...>Z_<input>.wav" where
// the recording has two files. A `step` of 1 or more adds "-<step + 1>" before the
// extension: the name of that second was taken.
std::string TimeName(int64_t utcSeconds, int input, int files, int step);

// A series of names to try in turn: generated names of `input` from `seconds` on, one a
// second; the continuations of `first` from `number` on; or the time names of `utcSeconds`.
struct NameSeries {
    enum Kind { Generated, Continuation, Time };
    Kind kind = Generated;
    int input = 1;
    long seconds = 0;
    std::string first;
    int number = 2;
    int64_t utcSeconds = 0;
    int files = 1;
};

// The name at `step` (0 for the first) of `series`.
std::string NameAt(const NameSeries& series, int step);

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

// Opens an unnamed file in `dir` for writing, to be given a name later (LinkFirstFree):
// a file made ahead that never gets a name leaves nothing behind, whatever ends the run.
// -1 with errno set where the file system has no unnamed files.
int OpenUnnamed(const std::string& dir);

// Gives the unnamed file open on `fd` the first name of `series` that is free, never
// replacing anything, like CreateFirstFree. Returns false with errno set.
bool LinkFirstFree(const NameSeries& series, int fd, std::string& name, int& step);

// The directory a name is in ("." for a bare name).
std::string DirectoryOf(const std::string& name);
