// The small files beside the control socket in which the guard tells people
// and tools what it does (its status line, its last episodes). Written only
// where writing cannot wait on storage, a memory file system such as /run,
// and whole: under a temporary name, then renamed, so that a reader never
// sees half of one.
#pragma once

#include <cstddef>

// Names the file beside the control socket: socket_path with suffix added,
// made absolute (the guard's working folder changes with -d). False, with
// nothing written to out, when it would not fit with ".new" added.
bool PathBeside(const char* socket_path, const char* suffix, char* out, size_t size);

// True when the folder that holds path is on a memory file system (tmpfs or
// ramfs). Reports nothing.
bool OnMemoryFileSystem(const char* path);

// Writes length bytes of text to path whole, readable by anyone whatever the
// file-creation mask, through "<path>.new" (which must fit in PATH_MAX).
// False, with errno set, when any step failed.
bool WriteWholeFile(const char* path, const char* text, size_t length);
