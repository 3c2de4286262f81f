// The guard's lines on standard error, written without ever waiting: when
// whatever reads standard error (the journal, a pipe, a terminal) does not
// keep up, a line is lost, never a deadline. The lines lost are counted and
// told with the next line that gets through.
#pragma once

#include <cstddef>
#include <cstdint>

// Finds a way to write standard error that cannot wait, once, at start-up:
// a socket (the journal's stream) is sent to with MSG_DONTWAIT; a pipe, a
// FIFO or a terminal is opened again, non-blocking, as a description of the
// guard's own, so the shell's terminal and the alarm children's standard
// error keep their mode; a regular file is written as it is (the kernel's
// page cache takes a short line without waiting on the disk). Until this is
// called lines go to standard error as it is.
void StartLogLines();

// Sends the lines to fd instead, written as to a pipe: the fuzz targets
// read the guard's lines apart from their own.
void SendLogLinesTo(int fd);

// Writes one line, formatted as printf does; format ends with its newline.
// The line is written whole or not at all. Allocates nothing.
[[gnu::format(printf, 1, 2)]] void LogLine(const char* format, ...);

// As perror: call, ": ", the text of errno and a newline.
void LogCallFailure(const char* call);

// Writes text of length bytes as one line already formatted.
void LogText(const char* text, size_t length);

// Lines lost so far because standard error could not take them.
uint32_t LogLinesLost();
