// Turning the file-open dialog's answer into source list rows. Widget-free:
// the window's dialog adapter hands over the answer text and the window adds
// one row per returned path.
#pragma once

#include <string>
#include <vector>

namespace sources {

// The dialog's two file types: every file, and mailboxes by extension.
inline constexpr const char* kSourceFileFilter = "Vellary Files (*.*)|*.*|MBOX Files (*.mbox,*.mbx)|*.mbox;*.mbx";

// The most files the dialog hands back at once; a larger selection is refused
// with the "Please select only ..." message and adds nothing.
inline constexpr int kMaxFilesAtATime = 1000;

// The dialog's answer has one of three shapes: "" (cancelled), one full path,
// or a folder followed by the picked names, every piece ended by a NUL
// ("folder\0a.mbox\0b.mbox\0", the last NUL optional). Returns the full paths
// in the dialog's order: the folder, one `separator` and the name for each
// picked name, or the single path as it stands. The folder is joined without
// looking at its end, so a root folder ("/" or "C:\") gives a doubled
// separator; the paths are kept that way.
std::vector<std::string> PickedFilePaths(std::string answer, char separator);

}  // namespace sources
