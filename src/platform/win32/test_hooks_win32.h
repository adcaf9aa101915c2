// The Windows layer's hooks for its own tests (built only with
// FILEOP_TEST_HOOKS): a test runs code at the seam between the layer's open
// of the directory a step works in and the step's action there, to swap that
// directory for a link as a hostile writer of the tree would.
#pragma once

#include <functional>
#include <string>

namespace platform::win32::test_hooks {

// `hook(step, directory)` runs at every seam: `step` names the action to
// come ("create-directory", "copy-partial", "copy-place", "move", "delete",
// "remove-directory", "clean-up"), `directory` is the full path (as the tree
// root was opened, then the names below it) of the directory it will act in.
// An empty function removes the hook.
using SeamHook = std::function<void(const std::string& step, const std::string& directory)>;
void SetSeamHook(SeamHook hook);

}  // namespace platform::win32::test_hooks
