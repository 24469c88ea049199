// Small helpers on path text shared by the subsystems.
#pragma once

#include <string>

// A path separator: '/' on POSIX; on Windows '\' and '/' both count (a
// Windows path may mix them). Every split of a path into a folder and a name
// goes through this, so no part of the core sees a different file name.
bool IsPathSeparator(char c);

// The part of a path after its last separator; a path without one is returned
// whole, and a path ending in a separator gives "".
std::string FileNameOfPath(const std::string& path);

// The part of a path up to and with its last separator: the folder of the
// path's file. "" for a path without one.
std::string FolderOfPath(const std::string& path);

// The path text without its root: a drive ("C:\" or "C:/"), a UNC share
// ("\\server\share\") or the leading "/" of a POSIX path. Works on the text
// alone, the same on every OS, so that the rest can be placed below another
// folder. A share's separators are all of the kind the path starts with, so a
// backslash inside a POSIX name never ends a root. A path without a root is
// returned unchanged.
std::string PathWithoutRoot(const std::string& path);

// A source path as the run uses it: trimmed of blanks, made absolute against
// the current folder and normalised (no "." or ".." parts, no doubled
// separators). A ".." is taken after the symbolic links before it, as the
// system does: the part before it is resolved. "" stays "".
std::string NormaliseSourcePath(const std::string& path);

// Leading and trailing spaces removed; tabs and other blanks are kept.
std::string TrimBlanks(const std::string& text);

// Every occurrence of `what` in `text` replaced by `with` (binary compare).
std::string ReplaceAll(std::string text, const std::string& what, const std::string& with);
