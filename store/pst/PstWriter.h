// Writes Unicode personal store (.pst) files from MAPI messages.
//
// The writer streams: each message's blocks reach the disk while it is
// added, so memory stays small however large the store grows. What is kept
// until close is a few bytes per message (node and block tree leaf pages,
// the open page of each folder's contents table) and the folder list.
//
// The store is crash-safe: at checkpoints the writer commits a complete
// store holding every message added so far (see NdbWriter::commit), so a
// killed process, a power cut or a store that cannot be finished leaves a
// file that opens, with the messages of the last checkpoint.
#pragma once

#include "store/MapiMessage.h"

#include <cstdint>
#include <memory>
#include <string>

namespace store::pst {

class PstWriter {
public:
    PstWriter();
    ~PstWriter();  // closes the store if it is still open
    PstWriter(const PstWriter&) = delete;
    PstWriter& operator=(const PstWriter&) = delete;

    // Creates a new store file. Fails when the file already exists (it is
    // never replaced) or cannot be created.
    bool create(const std::string& path, const std::string& displayName, std::string* error);

    // The top of the personal folders, under which mailbox folders go.
    uint32_t rootFolder() const;
    // The wastebasket every store has (a child of rootFolder()).
    uint32_t deletedItemsFolder() const;

    // Adds a folder of mail items ("IPF.Note") under `parentFolder`; returns
    // its node id, or 0 on failure (unknown parent, empty or duplicate name).
    uint32_t addFolder(uint32_t parentFolder, const std::string& name, std::string* error);
    // The child of `parent` with this name (case-insensitive), or 0.
    uint32_t findFolder(uint32_t parent, const std::string& name) const;

    // Writes one message into a folder.
    bool addMessage(uint32_t folder, const store::Message& msg, std::string* error);

    // Finishes the file. After a successful close it is complete and valid.
    // A store that cannot be finished (write error, disk full) stays as its
    // last checkpoint left it: a valid store of the first
    // durableMessageCount() messages.
    bool close(std::string* error);

    bool isOpen() const;
    uint64_t messageCount() const;
    // Messages in the last state committed to disk (all of them after a
    // successful close); a crash or a failed close keeps exactly these.
    uint64_t durableMessageCount() const;

    // When addMessage commits a checkpoint: once this long has passed, or
    // this many bytes or messages were written, since the last commit
    // (whichever comes first; 0 turns a limit off). The time and byte limits
    // also wait until four times the last checkpoint's own size was written.
    // Each checkpoint writes every folder's tables and properties again (a few KB per folder, more
    // for a contents table's open heap page) and the B-trees' upper levels
    // (about one page per 400 blocks), and syncs twice; a crash loses at most
    // the messages added since the last one. Two seconds cost no measurable
    // CPU over five (sealed sections are already on their way to the disk
    // when the sync comes), and halve what a crash can lose.
    struct CheckpointPolicy {
        double seconds = 2;
        uint64_t bytes = 64ull << 20;
        uint64_t messages = 0;
    };
    // Sets the policy of the open store.
    void setCheckpointPolicy(const CheckpointPolicy& policy);
    // The policy of writers created from now on in this process (the store
    // session makes its own writers).
    static void setDefaultCheckpointPolicy(const CheckpointPolicy& policy);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace store::pst
