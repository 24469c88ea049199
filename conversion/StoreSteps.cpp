#include "conversion/StoreSteps.h"

#include <cstdio>
#include <ctime>

#include "common/OutputFiles.h"
#ifdef VELLARY_HAVE_GMIME
#include "store/Session.h"
#endif

namespace conversion {

std::string StoreTimeStamp(const std::tm& t) {
    // d.m.YY H.m.ss: no leading zeros but on the year and the seconds.
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return text;
}

std::string StoreTimeStampNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return StoreTimeStamp(local);
}

// The store session imports messages with GMime: a build without it has
// no store steps.
#ifdef VELLARY_HAVE_GMIME
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

enum class StoreMode { Single, PerMailbox, Temporary };

// The store steps of the PST and MSG forms, on our store session.
class OutlookSteps : public StoreSteps {
public:
    OutlookSteps(TargetForm form, StoreMode mode, YieldFn yield, void* context)
        : form_(form), mode_(mode), yield_(yield), yieldContext_(context) {}

    bool openRunStore(const std::string& outputFolder) override {
        if (mode_ == StoreMode::Temporary) {
            // Each part of the name reads the clock when it is built.
            std::string stem = outputFolder + "Temp" + StoreTimeStampNow();
            return openStore(stem, "Temp : Created - " + StoreTimeStampNow());
        }
        if (mode_ == StoreMode::Single) {
            std::string stem = outputFolder + "Vellary" + StoreTimeStampNow();
            return openStore(stem, "Vellary Mailbox : Created - " + StoreTimeStampNow());
        }
        return true;
    }

    bool openMailboxStore(const std::string& outputFolder, const std::string& mailboxName) override {
        if (mode_ != StoreMode::PerMailbox) return true;
        return openStore(outputFolder + mailboxName, mailboxName);
    }

    void addMailboxFolder(const std::string& mailboxName) override {
        if (!pstStore_) return;
        try {
            pstStore_->IPMRootFolder().Folders().Add(mailboxName, 6);
        } catch (const store::StoreError&) {
            // A folder of that name is already there: the mailbox's messages
            // go into it, as its path names it.
        }
    }

    std::optional<UnfinishedStore> closeMailboxStore() override {
        if (mode_ == StoreMode::PerMailbox) return closeStore();
        return std::nullopt;
    }

    std::optional<UnfinishedStore> closeRunStore() override {
        if (mode_ != StoreMode::PerMailbox) return closeStore();
        return std::nullopt;
    }

    bool readMessage(const std::string& messageFile, store::Message& read, std::string* error) const override {
        return reported(error, [&] { read = store::ReadMessageFile(messageFile, 1024); });
    }

    bool readMessageText(std::string_view text, store::Message& read, std::string* error) const override {
        return reported(error, [&] { read = store::ReadMessageBytes(text, 1024); });
    }

    bool saveMessage(store::Message&& read, const std::string& mailboxName, const std::string& mailboxFolder,
                     int messageNumber, std::string* error) override {
        bool ok = true;
        try {
            if (!storeSession_) throw store::StoreError("no store is open");
            store::Folder folder = storeSession_->GetFolderFromPath("\\\\" + storeDisplayName_ + "\\" + mailboxName);
            std::unique_ptr<store::MailItem> mailItem = folder.Items().Add(0);
            mailItem->Import(std::move(read));
            store::MAPIUtils mapiUtils;
            mapiUtils.HrSetOneProp(mailItem->MAPIOBJECT(), 0x0E070003, 17, true);
            if (form_ == TargetForm::Pst) {
                mailItem->Save();
                ++savedInStore_;
            } else {
                std::string msgFilePath =
                    mailboxFolder + kSeparator + "Email-" + std::to_string(messageNumber) + ".msg";
                yield();
                mailItem->SaveAs(msgFilePath, 3);
            }
        } catch (const store::StoreError& e) {
            ok = false;
            if (error) *error = e.what();
        } catch (const std::bad_alloc&) {
            ok = false;
            if (error) *error = "out of memory";
        }
        return ok;
    }

    std::string failure() const override { return failure_; }

    std::optional<UnfinishedStore> abandon() override {
        // Finish the open store so that its file holds every message saved
        // so far and opens.
        std::optional<UnfinishedStore> unfinished = removeStore();
        storeSession_.reset();
        return unfinished;
    }

private:
    // Runs `read`; false with *error set when it throws what a message can
    // cause.
    template <typename Read>
    static bool reported(std::string* error, Read read) {
        try {
            read();
            return true;
        } catch (const store::StoreError& e) {
            if (error) *error = e.what();
        } catch (const std::bad_alloc&) {
            if (error) *error = "out of memory";
        }
        return false;
    }

    // Opens a new store file `stem` + ".pst". An existing file is never
    // written into: the store goes beside it under the next free name,
    // "stem (2).pst" and so on. The store's own exclusive create claims the
    // name, so two runs into one folder never share a file.
    bool openStore(const std::string& stem, const std::string& displayName) {
        try {
            storeSession_ = std::make_unique<store::StoreSession>();
            storeSession_->Logon();
            storeDisplayName_ = displayName;
        } catch (const store::StoreError& e) {
            failure_ = e.what();
            return false;
        }
        std::string path = CreateUnderFreeName(stem, ".pst", [&](const std::string& candidate) {
            try {
                pstStore_ = storeSession_->Stores().AddPSTStore(candidate, 1, storeDisplayName_);
                return true;
            } catch (const store::StoreError& e) {
                failure_ = e.what();
                return false;
            }
        });
        return !path.empty();
    }

    std::optional<UnfinishedStore> closeStore() {
        yield();
        std::optional<UnfinishedStore> unfinished = removeStore();
        yield();
        if (storeSession_) storeSession_->Logoff();
        storeSession_.reset();
        return unfinished;
    }

    // Finishes the open store and takes it out of the session.
    std::optional<UnfinishedStore> removeStore() {
        if (!pstStore_) return std::nullopt;
        UnfinishedStore unfinished;
        unfinished.path = pstStore_->path();  // Remove() deletes the store object
        unfinished.messagesSaved = savedInStore_;
        store::PstStore* open = pstStore_;
        pstStore_ = nullptr;
        savedInStore_ = 0;
        bool finished = false;
        try {
            open->Remove();
            finished = true;
        } catch (const store::StoreFinishError& e) {
            unfinished.cause = e.what();
            unfinished.messagesKept = static_cast<long long>(e.messagesKept);
        } catch (const store::StoreError& e) {
            unfinished.cause = e.what();
        }
        if (mode_ == StoreMode::Temporary) {
            // The temporary store only stages items on their way to .msg
            // files and never keeps one: it goes with the run, finished or not.
            std::remove(unfinished.path.c_str());
            return std::nullopt;
        }
        if (finished) return std::nullopt;
        return unfinished;
    }

    void yield() {
        if (yield_) yield_(yieldContext_);
    }

    TargetForm form_;
    StoreMode mode_;
    YieldFn yield_;
    void* yieldContext_;
    std::unique_ptr<store::StoreSession> storeSession_;
    std::string storeDisplayName_;
    store::PstStore* pstStore_ = nullptr;
    long long savedInStore_ = 0;  // messages saved into the open store
    std::string failure_;
};

}  // namespace

std::unique_ptr<StoreSteps> MakeStoreSteps(TargetForm form, bool singleStore, YieldFn yield, void* yieldContext) {
    if (form == TargetForm::Msg) return std::make_unique<OutlookSteps>(form, StoreMode::Temporary, yield, yieldContext);
    if (form == TargetForm::Pst)
        return std::make_unique<OutlookSteps>(form, singleStore ? StoreMode::Single : StoreMode::PerMailbox, yield,
                                              yieldContext);
    return nullptr;
}
#else
std::unique_ptr<StoreSteps> MakeStoreSteps(TargetForm, bool, YieldFn, void*) { return nullptr; }
#endif

}  // namespace conversion
