// Outputs written whole or not at all. Every grid and listing goes to a temporary file beside its
// target and takes the target's name only once complete, so an interrupted or failed run leaves
// either the previous file or the complete new one, a reader never sees half a file, and an output
// may have the same path as an input of the same run. A stream's temporary file has no name where
// Linux allows (O_TMPFILE), so that even a kill -9 leaves nothing behind; elsewhere, and for a
// GeoTIFF, it is "<target>.XXXXXX", removed by the exit and interrupt handlers.
#pragma once

#include <cstdio>
#include <string>

constexpr int OUTPUT_PATH_MAX = 4096;

/// What a named temporary file adds to its target's name (mkstemp's pattern); the check before a
/// run counts it into every name's length.
constexpr const char* OUTPUT_TEMP_SUFFIX = ".XXXXXX";

/// The file that `path` ends at, into `target` (OUTPUT_PATH_MAX bytes): symbolic links are followed
/// (at most 40, as the system does), so that the file they point at is replaced and the link stays.
/// A missing file, or a link to one, ends the walk. False, with errno set, when that fails.
bool output_resolve_target(const char* path, char* target);

/// Once at start-up: makes descriptors 0, 1 and 2 valid (on /dev/null when closed), and turns
/// SIGPIPE and SIGXFSZ into write errors.
void output_prepare_process();

/// Creates the temporary file for `path` (for the file a symbolic link points at), with the
/// permissions of the file it replaces (or of a new file), and its name into `temp_path`
/// (OUTPUT_PATH_MAX bytes). Until output_replace, an exit or an interrupt of the process removes
/// it. Returns its descriptor, or -1.
int output_create_temp(const char* path, char* temp_path);

/// Syncs and closes `fd`; when `complete` and that succeeded, renames `temp_path` over its target,
/// otherwise removes it. True when the target now holds the new file.
bool output_replace(int fd, const char* temp_path, bool complete);

/// Removes the temporary files of the outputs not yet complete, as an exit does; for a process that
/// is about to end without running its exit handlers.
void output_remove_pending();

/// Opens a text stream that writes to a temporary file for `path`, or straight to `path` when it is
/// a device or a FIFO; nullptr when none can be made.
FILE* output_open(const char* path);

/// Completes a stream of output_open: flushed, synced and renamed over its target. False, with the
/// target left as it was, when any write failed. Any other stream is closed, false when any of its
/// writes failed.
bool output_close(FILE* stream);

/// Abandons a stream of output_open: its temporary file is removed, the target left as it was. Any
/// other stream is just closed.
void output_discard(FILE* stream);

/// Opens a file to write and read back, without a name, for what an output is later made from:
/// beside `path` where the file system allows (the output's own disk), else in the system's
/// temporary folder. Whatever ends the process, it leaves nothing behind. nullptr when none can be
/// made.
FILE* output_open_scratch(const char* path);

/// Writes `text` as the whole of `path` through output_open and output_close; a file that cannot
/// be opened or written ends the run (code 1) naming it.
void output_write_text(const std::string& path, const std::string& text);
