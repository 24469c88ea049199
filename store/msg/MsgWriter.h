// Writes one store::Message as an Outlook message file (.msg): an MS-OXMSG
// layout of storages and streams inside an MS-CFB compound file. Layer: the
// store library's .msg writer, used by the conversion step; depends only on
// the message model and the compound-file layer beside it.
#pragma once

#include "store/MapiMessage.h"

#include <string>

namespace store::msg {

// Writes msg as an Outlook message file (MS-OXMSG in an MS-CFB compound file).
// An existing file is replaced; on failure nothing is left at `path` (a file
// already there stays as it was) and `error` (when given) says why, without
// repeating the path (callers name it).
//
// unicode=false is the save-as code 3 form: 8-bit strings (PT_STRING8, 0x001E)
//   in a Windows code page that holds every string of the message, recorded
//   in PR_MESSAGE_CODEPAGE (0x3FFD) and PR_INTERNET_CPID (0x3FDE). The code
//   page of the message's own script is tried first (from PR_MESSAGE_CODEPAGE,
//   else PR_INTERNET_CPID, else Western: a 7-bit, ISO or stateful Internet
//   code page stands for the Windows code page of its script, us-ascii and
//   UTF-8 for 1252), then the others in store::WindowsCodepages order. An
//   embedded message picks its own code page the same way. When PR_HTML's
//   bytes are in another code page than the one chosen, they are converted
//   to it (and a <meta> charset in them renamed), because PR_INTERNET_CPID
//   labels both bodies. A message (or embedded message) that no Windows code
//   page holds makes the whole file the Unicode form below: a file holds one
//   kind of string, and only Unicode then keeps every character.
// unicode=true writes PT_UNICODE strings (the code 9 form) and sets
//   STORE_UNICODE_OK in PR_STORE_SUPPORT_MASK; code pages stay as in the model.
//
// Besides the model's properties the writer adds, where the model lacks them,
// what a message store would compute: PR_MESSAGE_CLASS (IPM.Note),
// PR_HASATTACH, PR_DISPLAY_TO/CC/BCC (from the recipient rows), PR_ROWID and
// PR_OBJECT_TYPE on recipients, PR_ATTACH_NUM, PR_ATTACH_METHOD and
// PR_OBJECT_TYPE on attachments; and on every message object the
// has-attachments bit of PR_MESSAGE_FLAGS (read when the model has no flags)
// from its own attachments.
bool WriteMsgFile(const store::Message& msg, const std::string& path, bool unicode, std::string* error);

}  // namespace store::msg
