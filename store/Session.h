// The store session: the calls the conversion makes to put messages into
// Outlook personal store files and to save them as Outlook message files,
// with the operations and argument codes of Outlook's MAPI object model. Behind it are our own
// writers (store/pst, store/msg) and the MIME import (store/mime).
//
// A failing call throws StoreError, whose text says what failed and why.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "store/MapiMessage.h"

namespace store {

namespace pst {
class PstWriter;
}

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A store that could not be finished (PstStore::Remove). The file then holds
// the first `messagesKept` messages saved into it, in the order they were
// saved; every message saved after them is lost.
class StoreFinishError : public StoreError {
public:
    StoreFinishError(const std::string& what, uint64_t kept) : StoreError(what), messagesKept(kept) {}
    uint64_t messagesKept;
};

class PstStore;
class MailItem;

class Folder;

// A folder of an open store: what folder lists, item lists and items keep of
// where they belong.
struct FolderRef {
    PstStore* store;
    uint32_t folder;
};

// The sub-folders of a folder.
class FolderList {
public:
    // Adds a sub-folder; kind 6 is a folder of mail items. Fails for a name
    // the folder already has.
    Folder Add(const std::string& name, int16_t folderKind);

private:
    friend class Folder;
    explicit FolderList(FolderRef parent) : parent_(parent) {}
    FolderRef parent_;
};

// The items of a folder.
class ItemList {
public:
    // A new, unsaved item; kind 0 is a mail item.
    std::unique_ptr<MailItem> Add(int16_t itemKind);

private:
    friend class Folder;
    explicit ItemList(FolderRef folder) : folder_(folder) {}
    FolderRef folder_;
};

class Folder {
public:
    FolderList Folders() { return FolderList(at_); }
    ItemList Items() { return ItemList(at_); }
    uint32_t id() const { return at_.folder; }

private:
    friend class PstStore;
    friend class FolderList;
    friend class StoreSession;
    Folder(PstStore* store, uint32_t id) : at_{store, id} {}
    FolderRef at_;
};

// A mail item: made in a folder, filled by Import, then saved into the
// store (Save) or written out as a message file (SaveAs).
class MailItem {
public:
    // Reads a message file; type 1024 is a MIME (RFC 822) message file.
    void Import(const std::string& path, int16_t type);
    // Takes a message file read beforehand by ReadMessageFile.
    void Import(Message&& read) { message_ = std::move(read); }
    // The item's MAPI message, for MAPIUtils::HrSetOneProp.
    Message* MAPIOBJECT() { return &message_; }
    // Saves the item into its folder. An item is saved once.
    void Save();
    // Writes the item as a message file: type 3 is the .msg form with 8-bit
    // strings (Unicode for a message no Windows code page holds), 9 the
    // Unicode .msg form. An existing file is replaced.
    void SaveAs(const std::string& path, int16_t type);

private:
    friend class ItemList;
    explicit MailItem(FolderRef folder) : folder_(folder) {}
    FolderRef folder_;
    Message message_;
    bool saved_ = false;
};

// The costly half of MailItem::Import: reads and parses a message file
// (type as for Import). It touches no store and no session, so it may run on
// another thread than the one that uses the store, for one message while the
// store saves another. Throws StoreError.
Message ReadMessageFile(const std::string& path, int16_t type);
// The same for a message file's bytes already in memory.
Message ReadMessageBytes(std::string_view bytes, int16_t type);

class PstStore {
public:
    ~PstStore();
    // The top of the store's folders.
    Folder IPMRootFolder();
    // Finishes the store file and takes it out of the session. The file stays.
    // Throws StoreFinishError when the store cannot be finished.
    void Remove();
    const std::string& displayName() const { return displayName_; }
    const std::string& path() const { return path_; }

private:
    friend class StoreList;
    friend class StoreSession;
    friend class FolderList;
    friend class MailItem;
    PstStore() = default;
    std::unique_ptr<pst::PstWriter> writer_;
    std::string path_;
    std::string displayName_;
    class StoreSession* session_ = nullptr;
};

class StoreList {
public:
    // Creates the store file and adds it to the session. Format 1 is the
    // default (Unicode) store. Fails when a file is already there: it is
    // never replaced.
    PstStore* AddPSTStore(const std::string& path, int16_t format, const std::string& displayName);

private:
    friend class StoreSession;
    explicit StoreList(class StoreSession* session) : session_(session) {}
    class StoreSession* session_;
};

class StoreSession {
public:
    // Starts the MIME library on the thread that opens the session, before
    // any ReadMessageFile on another thread.
    StoreSession();
    ~StoreSession();  // finishes every store still in the session
    StoreSession(const StoreSession&) = delete;
    StoreSession& operator=(const StoreSession&) = delete;

    void Logon();
    void Logoff();
    StoreList& Stores();
    // A folder by its path: two backslashes, the store's display name, a
    // backslash and the folder names below the store's top, separated by
    // backslashes.
    Folder GetFolderFromPath(const std::string& path);

    bool loggedOn() const { return loggedOn_; }

private:
    friend class StoreList;
    friend class PstStore;
    void removeStore(PstStore* store);
    bool loggedOn_ = false;
    StoreList stores_;
    std::vector<std::unique_ptr<PstStore>> open_;
};

class MAPIUtils {
public:
    // Sets one property on a message. For the message flags (0x0E070003)
    // the store applies them as a MAPI store does: the read and unsent bits
    // are taken, while has-attachments follows the message's real attachments.
    void HrSetOneProp(Message* object, uint32_t tag, int32_t value, bool save);
};

}  // namespace store
