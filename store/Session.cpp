#include "store/Session.h"

#include "store/mime/GMimeSupport.h"
#include "store/mime/MimeImport.h"
#include "store/msg/MsgWriter.h"
#include "store/pst/PstWriter.h"

namespace store {

namespace {
constexpr uint32_t kMessageFlagsTag = 0x0E070003;
constexpr uint32_t kHasAttachFlag = 0x10;
}  // namespace

// ---- folders and items -----------------------------------------------------

Folder FolderList::Add(const std::string& name, int16_t folderKind) {
    if (folderKind != 6) throw StoreError("unsupported folder kind " + std::to_string(folderKind));
    if (!parent_.store->writer_) throw StoreError("the store has been removed");
    std::string error;
    uint32_t id = parent_.store->writer_->addFolder(parent_.folder, name, &error);
    if (id == 0) throw StoreError("cannot add the folder \"" + name + "\": " + error);
    return Folder(parent_.store, id);
}

std::unique_ptr<MailItem> ItemList::Add(int16_t itemKind) {
    if (itemKind != 0) throw StoreError("unsupported item kind " + std::to_string(itemKind));
    return std::unique_ptr<MailItem>(new MailItem(folder_));
}

Message ReadMessageFile(const std::string& path, int16_t type) {
    if (type != 1024) throw StoreError("unsupported import type " + std::to_string(type));
    std::string error;
    Message imported;
    if (!mime::ImportMimeFile(path, imported, &error)) throw StoreError(path + ": " + error);
    return imported;
}

Message ReadMessageBytes(std::string_view bytes, int16_t type) {
    if (type != 1024) throw StoreError("unsupported import type " + std::to_string(type));
    std::string error;
    Message imported;
    if (!mime::ImportMimeBytes(bytes, imported, &error)) throw StoreError(error);
    return imported;
}

void MailItem::Import(const std::string& path, int16_t type) { message_ = ReadMessageFile(path, type); }

void MailItem::Save() {
    if (saved_) return;
    if (!folder_.store->writer_) throw StoreError("the store has been removed");
    std::string error;
    if (!folder_.store->writer_->addMessage(folder_.folder, message_, &error))
        throw StoreError("cannot save the item: " + error);
    saved_ = true;
}

void MailItem::SaveAs(const std::string& path, int16_t type) {
    if (type != 3 && type != 9) throw StoreError("unsupported save-as type " + std::to_string(type));
    std::string error;
    if (!msg::WriteMsgFile(message_, path, type == 9, &error)) throw StoreError(path + ": " + error);
}

// ---- stores and the session --------------------------------------------------

PstStore::~PstStore() {
    if (writer_) {
        std::string error;
        writer_->close(&error);
    }
}

Folder PstStore::IPMRootFolder() {
    if (!writer_) throw StoreError("the store has been removed");
    return Folder(this, writer_->rootFolder());
}

void PstStore::Remove() {
    std::string error;
    bool ok = !writer_ || writer_->close(&error);
    const uint64_t kept = writer_ ? writer_->durableMessageCount() : 0;
    writer_.reset();
    StoreSession* session = session_;
    if (session) session->removeStore(this);  // deletes this store
    if (!ok) throw StoreFinishError("cannot finish the store: " + error, kept);
}

PstStore* StoreList::AddPSTStore(const std::string& path, int16_t format, const std::string& displayName) {
    if (!session_->loggedOn_) throw StoreError("the session is not logged on");
    if (format != 1 && format != 2) throw StoreError("unsupported store format " + std::to_string(format));
    std::unique_ptr<PstStore> store(new PstStore);
    store->writer_ = std::make_unique<pst::PstWriter>();
    std::string error;
    if (!store->writer_->create(path, displayName, &error)) throw StoreError(path + ": " + error);
    store->path_ = path;
    store->displayName_ = displayName;
    store->session_ = session_;
    session_->open_.push_back(std::move(store));
    return session_->open_.back().get();
}

StoreSession::StoreSession() : stores_(this) { mime::EnsureGMimeStarted(); }

StoreSession::~StoreSession() = default;

void StoreSession::Logon() { loggedOn_ = true; }

void StoreSession::Logoff() { loggedOn_ = false; }

StoreList& StoreSession::Stores() { return stores_; }

void StoreSession::removeStore(PstStore* store) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->get() == store) {
            open_.erase(it);
            return;
        }
    }
}

Folder StoreSession::GetFolderFromPath(const std::string& path) {
    if (!loggedOn_) throw StoreError("the session is not logged on");
    for (auto& store : open_) {
        std::string prefix = "\\\\" + store->displayName_ + "\\";
        if (path.compare(0, prefix.size(), prefix) != 0 || !store->writer_) continue;
        std::string rest = path.substr(prefix.size());
        uint32_t folder = store->writer_->rootFolder();
        // A folder name may itself hold a backslash: the whole rest is tried
        // as one name before it is taken as a path of several.
        if (uint32_t whole = store->writer_->findFolder(folder, rest)) return Folder(store.get(), whole);
        size_t pos = 0;
        while (folder) {
            size_t next = rest.find('\\', pos);
            folder = store->writer_->findFolder(folder, rest.substr(pos, next - pos));
            if (next == std::string::npos) break;
            pos = next + 1;
        }
        if (folder) return Folder(store.get(), folder);
    }
    throw StoreError("no folder at " + path);
}

void MAPIUtils::HrSetOneProp(Message* object, uint32_t tag, int32_t value, bool) {
    if (!object) throw StoreError("no MAPI object");
    if (tag == kMessageFlagsTag) {
        uint32_t flags = uint32_t(value) & ~kHasAttachFlag;
        if (!object->attachments.empty()) flags |= kHasAttachFlag;
        object->props.setLong(pid::MessageFlags, flags);
        return;
    }
    object->props.setInt(uint16_t(tag >> 16), uint16_t(tag & 0xFFFF), uint64_t(uint32_t(value)));
}

}  // namespace store
