// Time stamps on diagnostic lines. A process calls StampStandardOutput() at
// the start of main(); from then on every line written through stdout starts
// with the UTC time at which it was written, in milliseconds:
//
//   2026-12-07T19:01:02.345Z comm server (port 5110): bound after 0 s; ...
//
// The text after the stamp is the text the program printed. A line is
// stamped once however many calls write it; several lines in one write get
// one stamp each. The stamped stream is line-buffered, so each line reaches
// the descriptor when its line feed is written (or at fflush, without the
// rest of the line being stamped again). Signal handlers must not print.
#ifndef LINESTAMP_H
#define LINESTAMP_H

#include <cstdio>
#include <string>

// The current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ" (24 characters).
std::string UtcStamp();

// A line-buffered stream that writes to `fd` (not taken over: the caller
// closes it after fclose of the stream) with each line stamped; null if the
// stream cannot be made. `clock` replaces UtcStamp (tests).
std::FILE* OpenStampedStream(int fd, std::string (*clock)() = nullptr);

// Flushes stdout and makes it a stamped stream over descriptor 1. Returns the
// previous stdout, which still writes to descriptor 1 without stamps: the
// stream for data a tool prints on request (flush it after each piece so the
// two streams do not interleave within a line). Calling it again changes
// nothing and returns the same stream.
std::FILE* StampStandardOutput();

#endif
