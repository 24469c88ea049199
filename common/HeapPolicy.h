// How the process's allocator treats large blocks.
#pragma once

// Makes every block of 1 MiB or more a mapping of its own, given back to
// the system when it is freed. By default glibc raises that threshold to the
// size of each large block freed (up to 32 MiB), so that once a header field
// of megabytes had been unfolded and freed, the blocks of the same size made
// after it (recipient rows, the header block) came from the main heap and
// stayed resident there: converting a message with a To: of 9 MB peaked at
// 46 MB instead of 35 MB. The threshold is 1 MiB, not lower: with the
// store forms' two threads, every mapping freed is a page-table flush on
// both cores, and the decoded attachments of ordinary mail (a few hundred
// KB) made one each; 1 MiB took 4 % off a 150 MB mailbox to .pst and left
// the peaks of the large-header shapes as they were.
//
// Free room at the top of a heap is given back once it passes 4 MiB, not
// glibc's 128 KiB (which a fixed mapping threshold leaves in place): the
// store forms free and remake a few hundred KB per message, and every
// give-back was a system call (brk, or madvise in the worker's heap) and
// page faults to get the memory again, 3,500 of them for a 150 MB mailbox;
// 4 MiB took a fifth off its .pst and .msg times and raised their peaks by
// about 1 MB. Call once, first thing in main(). Does nothing where the
// allocator has no such settings.
void ReturnLargeBlocksToTheSystem();
