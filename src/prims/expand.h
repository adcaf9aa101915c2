// %NAME% expansion and the directory test shared by copy, move and delete.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// The value of environment variable `name`; empty when unset or empty.
std::string ReadEnvVar(const std::string& name);

// `path` with its %NAME% references replaced by the variables' values,
// strictly left to right; %% and unset variables give the empty text, and a
// value's own "%" takes part in what follows. A "%" without a partner after
// it ends the expansion: it and the text after it stay as they are. The
// expansion always ends: see kExpansionReferenceLimit and
// kExpansionValueLimit.
std::string ExpandEnvRefs(const std::string& path);

// ExpandEnvRefs, also telling the name of the first reference it replaced
// with the empty text because its variable is unset or empty (the empty
// reference %% names no variable and does not count); `unset` stays empty
// when there was none.
std::string ExpandEnvRefs(const std::string& path, std::optional<std::string>& unset);

// Expands a path that an operation will remove from (the source of a delete
// or a move). A reference to an unset or empty variable would widen it
// ("C:\App\%SUBDIR%" becoming "C:\App\"), so it raises EInOutError
// "Environment variable NAME is not set" (IoCode 203) instead.
std::string ExpandRemovedPath(const std::string& path);

// A value may bring its own reference back (A=%A%, A=x%A%), which would
// expand without end. Expansion therefore stops after this many replaced
// references, or once the values put in have grown past this many bytes;
// the text not yet expanded then stays as it stands.
inline constexpr size_t kExpansionReferenceLimit = 100000;
inline constexpr size_t kExpansionValueLimit = size_t{1} << 20;

// True exactly when `path` exists and its attribute word has the directory
// bit; false for a missing path, the empty path and a wildcard path.
bool IsDirectory(const std::string& path);

// The same for `name` below `tree`: a link to a directory counts, as it
// would by its path (it is removed as a directory is).
bool IsDirectory(platform::TreeHandle tree, const std::string& name);
