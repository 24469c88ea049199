// File durability helpers: what the store writers need to make a
// state they wrote survive a crash or a power cut.
#pragma once

#include <cstdint>

// Writes the file's data, and the metadata needed to read it back (its size),
// to stable storage. Returns 0, or the errno of the failure.
int SyncFileData(int fd);

// Makes the file at least `size` bytes long; the new bytes read as zeros and
// take no disk space until written. Returns 0, or the errno of the failure.
int GrowFile(int fd, uint64_t size);

// Starts writing the range [offset, offset + length) to disk without waiting,
// so that a later SyncFileData has less left to wait for. Only a hint: does
// nothing where the system has no such call.
void StartWriteback(int fd, uint64_t offset, uint64_t length);
