// Folder creation used by the conversion run.
#pragma once

#include <string>

// Creates every missing folder along `path` (a trailing separator is
// optional). True when the folder exists afterwards; on failure false, and
// `error` (when given) says why.
bool EnsureFolderPath(const std::string& path, std::string* error = nullptr);
