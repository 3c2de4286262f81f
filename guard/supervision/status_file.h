// "<socket>.status": the status line in a file beside the control socket,
// for people and tools on units without a service manager.
#pragma once

// Names the file beside socket_path, or none when socket_path is null (a
// guard that does not own the path); says once, now, when the folder is
// not on a memory file system, where writing could hold up the guard, and
// then writes no file.
void StartStatusFile(const char* socket_path);

// Replaces the file's line; a failure is told once until a write works.
void WriteStatusFile(const char* line);
