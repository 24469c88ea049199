// File durability helpers over POSIX: what the store writers need to make a
// state they wrote survive a crash or a power cut.
#pragma once

#include <cstdint>

// Writes the file's data, and the metadata needed to read it back (its size),
// to stable storage. Returns 0, or the errno of the failure.
int SyncFileData(int fd);

// Makes the file at least `size` bytes long; the new bytes read as zeros and
// take no disk space until written. Returns 0, or the errno of the failure.
int GrowFile(int fd, uint64_t size);
