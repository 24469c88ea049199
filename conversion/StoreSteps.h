// The store steps of the two Outlook forms (.pst and .msg), called by the run
// at fixed points of its loop over the mailboxes. The EML and EMLX forms have
// none.
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace store {
struct Message;  // store/MapiMessage.h
}

namespace conversion {

enum class TargetForm { None, Eml, Emlx, Msg, Pst };

// A store that could not be finished. Its file holds the first `messagesKept`
// of the `messagesSaved` messages saved into it, in save order; the others
// are lost (a file that holds none may be gone).
struct UnfinishedStore {
    std::string path;
    std::string cause;
    long long messagesSaved = 0;
    long long messagesKept = 0;
};

class StoreSteps {
public:
    virtual ~StoreSteps() = default;

    // Before the first mailbox: the temporary store (MSG form) or the single
    // store (PST form, one store for all). False when the session or the
    // store cannot be opened: the run shows the "Outlook Error" report and ends.
    virtual bool openRunStore(const std::string& outputFolder) = 0;
    // At the start of each mailbox (store per mailbox only); false as above.
    virtual bool openMailboxStore(const std::string& outputFolder, const std::string& mailboxName) = 0;
    // Right after openMailboxStore, for every mailbox: its folder in the store.
    virtual void addMailboxFolder(const std::string& mailboxName) = 0;
    // After each mailbox (store per mailbox only) and after the last one.
    // What could not be finished, if anything.
    virtual std::optional<UnfinishedStore> closeMailboxStore() = 0;
    virtual std::optional<UnfinishedStore> closeRunStore() = 0;

    // One message, in two halves: ImportMessage (PST form) or
    // SaveMessageAsMsg (MSG form). readMessage is the costly one, the MIME
    // parse of a message file, or of a message file's bytes held in memory
    // (readMessageText); it touches no store, so the run may call it on
    // another thread than the one that drives the store, for one message
    // while saveMessage puts the one before into the store or its .msg file.
    // Each is false, with `error` set, when the message did not make it. The
    // caller deletes the message file once the message is in.
    virtual bool readMessage(const std::string& messageFile, store::Message& read, std::string* error) const = 0;
    virtual bool readMessageText(std::string_view text, store::Message& read, std::string* error) const = 0;
    virtual bool saveMessage(store::Message&& read, const std::string& mailboxName, const std::string& mailboxFolder,
                             int messageNumber, std::string* error) = 0;

    // The window is closing: finish whatever store is open so its file stays
    // whole. What could not be finished, if anything.
    virtual std::optional<UnfinishedStore> abandon() = 0;

    // Why the last store could not be opened.
    virtual std::string failure() const = 0;
};

// The yield the store steps make (around the closing of a store, before each
// .msg file is saved).
using YieldFn = void (*)(void* context);

// The store time stamp "d.m.YY H.m.ss" (6.12.26 5.7.09), of a time and of now.
std::string StoreTimeStamp(const std::tm& localTime);
std::string StoreTimeStampNow();

// The store steps for a form; nullptr for the EML and EMLX forms, and for a
// form whose store steps this build does not have.
std::unique_ptr<StoreSteps> MakeStoreSteps(TargetForm form, bool singleStore, YieldFn yield, void* yieldContext);

}  // namespace conversion
