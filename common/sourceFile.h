// Opening a source mailbox once and reading it as a stream.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// Opens `path` for reading from its start. Regular files and pipes (a named
// FIFO, /dev/stdin, a shell's <(...)) are opened; folders, devices and sockets
// are refused without being opened, since opening a device can act on it and
// reading one need never end. A FIFO is opened without waiting for a writer;
// with none, it reads as empty. Returns the descriptor, or -1 with `error`
// saying why: "not a mailbox file: a character device", or CannotReadCause().
int OpenSourceFile(const std::string& path, std::string* error);

// "cannot read the mailbox: " and the system's text for errno `e`.
std::string CannotReadCause(int e);

// read() that retries when interrupted and fills `size` bytes unless the file
// ends first. -1 when reading fails, with errno set.
ssize_t ReadFull(int fd, char* buffer, size_t size);

void CloseSourceFile(int fd);
