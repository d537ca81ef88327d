// The check: are the recorded digests true? Reads the manifest and digests its
// files as the refresh does, and writes nothing.
#pragma once

#include "manifest/manifest.hpp"

// Prints "path: OK", "path: CHANGED" or "path: MISSING" for every section with a
// "file_path" that `excludes` does not name, and a summary on stderr when not
// all are OK. Returns the exit status: 0 when every file is OK, 1 otherwise.
[[nodiscard]] int check_manifest(const char* input_path, const ExcludeList& excludes);
