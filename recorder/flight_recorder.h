// The flight recorder: what the bus said and what the guard did around each
// episode, for whoever must find out afterwards what happened.
//
// A ring of entries in memory allocated and locked at start-up takes every
// frame the guard reads, with the kernel's stamp of its receipt
// (CLOCK_REALTIME), and the guard's own events, with their CLOCK_MONOTONIC
// time. Nothing is allocated later: a full ring overwrites its oldest
// entries. An episode marks a window, from 10 s before its key-down to 10 s
// after its end; once that is over, WriteFlightPiece writes the window out a
// few lines a call, never waiting on storage: "NNNNNN.log" in the flight
// folder (beside the control socket, on a memory file system), the frames
// as can-utils' candump -L writes them, and "NNNNNN.events" beside it, the
// events in plain words. The last kFlightFilesKept flights stay, within
// kFlightSpaceCap bytes.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "can/can_hal.h"

// The flight folder is the control socket's path with this added.
inline constexpr char kFlightFolderSuffix[] = ".flight";

// The ring's size for the worst bus: 250 kbit/s carries at most about
// 1,900 frames a second, all of which could be status frames the guard
// reads; a window of 26 s (10 s, a press and its 3 s, eight commands 250 ms
// apart, 10 s) is about 50,000 of them, and the rest leaves the writer
// about 8 s to write them out before they are overwritten.
inline constexpr uint32_t kFlightEntries = 65536;

// Seconds of the window before the key-down and after the episode's end.
inline constexpr long kFlightMarginSeconds = 10;

inline constexpr int kFlightFilesKept = 20;
// The flight folder's files together stay within this; one flight's within
// kFlightMostBytes, which a full ring's window fits (at most 51 bytes a
// frame line), so a full ring costs a flight nothing but the older flights.
inline constexpr long long kFlightSpaceCap = 16LL * 1024 * 1024;
inline constexpr long long kFlightMostBytes = 4LL * 1024 * 1024;

enum FlightStart : int32_t {
  FlightStarted = 0,
  FlightNotLocked = 1,     // started, but the ring could not be locked in memory (errno)
  FlightNotOnMemory = 2,   // nothing recorded: the folder is not on a memory file system
  FlightNoFolder = 3,      // nothing recorded: the folder could not be made or is no folder (errno)
  FlightNoMemory = 4,      // nothing recorded: the ring could not be allocated (errno)
};

// At start-up: entries (rounded up to a power of two, at least 16) in a
// ring, and folder made when missing; flights left there by an earlier run
// are kept, within the limits. Records nothing unless it returns Started
// or NotLocked.
FlightStart StartFlightRecorder(const char* folder, uint32_t entries);

// Frees the ring and forgets every window, as before the start.
void StopFlightRecorder();

// The frames HalReceiveFrames read. A frame without a stamp gets the time
// of this call.
void RecordFrames(const HalReceived* frames, int count);

// The guard's own events, and what value and detail tell.
enum FlightEvent : uint8_t {
  FlightKeyDown = 1,          // value: the key's code
  FlightKeyUp = 2,            // value: the key's code; detail: how long it was held, ms
  FlightControlByte = 3,      // value: the byte read from the UI
  FlightWarningStarted = 4,
  FlightAllClearStarted = 5,
  FlightCommandWritten = 6,   // value: the frame, 0 or 1; detail: its sequence number
  FlightCommandRefused = 7,   // value: the CAN layer's code; detail: errno
  FlightCommandNotSent = 8,   // value: why, numbered as the episode record's trouble
                              // (1 no autopilot address, 2 no command source address,
                              // 3 CAN down, 4 bus-off, 5 no CAN socket)
  FlightEpisodeBegun = 9,
  FlightEpisodeEnded = 10,    // value: how, numbered as the episode record's end
                              // (1 confirmed, 2 standby reported, 3 given up)
};

// when: CLOCK_MONOTONIC.
void RecordEvent(FlightEvent event, int32_t value, int32_t detail, timespec when);

// An episode's key went down at key_down (CLOCK_MONOTONIC): its window
// begins 10 s before. A window not yet being written takes the new episode
// in as well and waits for its end. Returns the number the flight's files
// will have; 0 while the recorder does not run.
uint32_t BeginFlightWindow(timespec key_down);

// The episode that began the latest window ended at ended: the window ends
// 10 s after, and may be written from then on.
void EndFlightWindow(timespec ended);

// When the next piece is due: true with due filled while a window is
// ended and not yet written (due may be past), false otherwise.
bool FlightPieceDue(timespec* due);

enum FlightWriteState : int32_t {
  FlightIdle = 0,     // no window
  FlightWaiting = 1,  // a window not over yet
  FlightWriting = 2,  // a piece written, more to come
  FlightWritten = 3,  // the flight finished in this call: number and complete tell
  FlightFailed = 4,   // the flight could not be written and is dropped: error tells why
};

struct FlightWrite {
  FlightWriteState state;
  uint32_t number;  // the flight's, NNNNNN in its files' names
  bool complete;    // every entry of the window is in the files
  int error;        // errno of a failed write
};

// Writes at most most_lines lines of the pending flight at now
// (CLOCK_MONOTONIC), and examines at most eight times as many entries; for
// a pass of the loop with nothing due soon. A flight is incomplete when
// entries of its window were overwritten before they were written, or its
// size reached kFlightMostBytes; the events file's last line says so too.
FlightWrite WriteFlightPiece(timespec now, int most_lines);

// The path of the n-th last flight log kept in folder (1: the latest);
// false when there is none such or it does not fit in size.
bool FindFlightLog(const char* folder, int nth_last, char* path, size_t size);

// For tests: the wall clock minus the monotonic clock, in nanoseconds, as
// the recorder is to take it instead of asking the clocks; 0 to ask them.
void SetFlightWallOffsetForTesting(long long nanoseconds);
