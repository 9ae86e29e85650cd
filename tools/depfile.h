// The dependency file that `kvarc create` and `kvarc setup` write with
// --depfile: what a build system needs to know to run the command again
// when one of the files it read changes, in the Makefile syntax compilers
// write with -MD, which make and Ninja both read: the target, a colon, and
// each prerequisite on a line of its own, every line but the last ending in
// a backslash that continues it.
//
// Every path is absolute (the build system may run elsewhere than kvarc
// did) with '/' between its parts, so that a drive letter's colon is the
// only one a build system on Windows meets. In a path, a space is written
// "\ ", '#' as "\#" (with the backslashes before either doubled, so that
// they stay backslashes) and '$' as "$$", which make, Ninja and CMake all
// read back. A line break cannot be written at all, and neither a tab nor
// a backslash that ends a path in a way that both make and Ninja read: such
// a path is refused.
#pragma once

#include <string>
#include <vector>

namespace kv::tools {

// The depfile text naming `target` as made from `prerequisites` (each once,
// in the order first given). Raises BuilderError "PATH: reason" for a path
// with a line break.
std::string DepfileText(const std::string& target, const std::vector<std::string>& prerequisites);

}  // namespace kv::tools
