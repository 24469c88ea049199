// What OpenFolderBelow and RemoveEmptyFoldersBelow (OutputFiles.cpp) take
// from each system: OutputFiles.cpp has the POSIX forms, OutputFilesWin32.cpp
// the Windows ones. For those two sources only.
#pragma once

#include <string>
#include <vector>

#include "common/OutputFiles.h"

namespace output_files {

// The output folder `base` itself, taken as the user gave it, links and
// all; the handle holds `base` as its path. Empty, with errno set, when it
// cannot be opened.
FolderHandle OpenBase(const std::string& base);

// Walks `relative` below the open folder `dir` one name at a time, never
// through a link. With `create`, missing folders are made (and listed in
// `made` when given); otherwise a missing one ends the walk. Empty, with
// `error` set (when given), when the walk stops.
FolderHandle WalkBelow(FolderHandle dir, const std::string& relative, std::string* error,
                       std::vector<std::string>* made, bool create);

// Removes the folder `name` in `dir` when it is empty; a link of that name
// is left alone.
void RemoveEmptyFolderIn(const FolderHandle& dir, const std::string& name);

}  // namespace output_files
